// Qel/Optional.h — an optional value whose absent read is a framework error.
///
/// Like `std::optional`, but reading an absent value raises `Qel::BadOptionalAccess` instead
/// of being undefined. `U32Optional` is the optional unsigned 32-bit value of index maps.
#pragma once

#include <optional>
#include <utility>

#include "Pondo/Types.h"
#include "Qel/Exception.h"

namespace Qel {

template <class T>
class Optional {
 public:
  Optional() = default;
  Optional(T value) : value_(std::move(value)) {}

  bool isPresent() const noexcept { return value_.has_value(); }
  explicit operator bool() const noexcept { return isPresent(); }
  const T& value() const {
    if (!value_) Impl::throwBadOptionalAccess();
    return *value_;
  }

  friend bool operator==(const Optional&, const Optional&) = default;

 private:
  std::optional<T> value_;
};

}  // namespace Qel

using U32Optional = Qel::Optional<U32>;

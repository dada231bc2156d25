// Lumo/IntfId.h — an interface identifier, whose text form is the interface name.
///
/// An identifier is made from its name (`handleInitialized`) and gives it back
/// (`stringValue`); the two are inverse. The empty name is the empty identifier. Identifiers
/// are small values: copy them freely.
#pragma once

#include <compare>
#include <iosfwd>

#include "Pondo/String.h"
#include "Qel/Hash.h"

namespace Lumo {

class IntfId {
 public:
  IntfId() noexcept = default;
  explicit IntfId(const Pondo::String& name) : name_(name) {}

  /// Makes this the identifier of the interface named `name`.
  void handleInitialized(const Pondo::String& name) { name_ = name; }
  const Pondo::String& stringValue() const noexcept { return name_; }

  U32 hash(U32 seed) const noexcept { return Qel::hashValue(name_, seed); }
  friend bool operator==(const IntfId&, const IntfId&) = default;
  friend std::strong_ordering operator<=>(const IntfId&, const IntfId&) = default;

 private:
  Pondo::String name_;
};

std::ostream& operator<<(std::ostream& out, const IntfId& id);

}  // namespace Lumo

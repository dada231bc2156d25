// Qel/Strep.h — the generic text form ("strep") of registered values.
///
/// `valueToStrep` writes a value of a registered value type as its fields in registration
/// order, `{name=value, ...}`, each field by `writeValue`: numbers in decimal (one-byte numbers
/// too), booleans as `true`/`false`, enumerations by name, nested values by their own strep.
/// The parse side is in Qel/CharRange.h.
#pragma once

#include <ostream>
#include <type_traits>

#include "Pondo/String.h"
#include "Qel/TypeData.h"

namespace Qel {

inline void writeValue(std::ostream& out, bool v) { out << (v ? "true" : "false"); }

template <class T>
void writeValue(std::ostream& out, const T& v) {
  if constexpr (std::is_integral_v<T>) {
    out << +v;  // promotes one-byte numbers so they print as numbers
  } else {
    out << v;
  }
}

/// The generic text of `value`, an object of the registered value type `type`.
Pondo::String valueToStrep(const void* value, const TypeData& type);

}  // namespace Qel

// Qel/EnumType.cpp — enumerator look-ups over a type's registration.
#include "Qel/EnumType.h"

#include <string>

#include "Qel/Exception.h"

namespace Qel {

U8 EnumType::instance(const TypeData& type, U32 number) {
  for (const Enumerator& e : type.enumerators()) {
    if (e.number == number) return static_cast<U8>(number);
  }
  throw RangeException("invalid value " + std::to_string(number) + " for " + type.name());
}

U8 EnumType::instance(const TypeData& type, std::string_view name) {
  for (const Enumerator& e : type.enumerators()) {
    if (name == e.name) return static_cast<U8>(e.number);
  }
  throw RangeException("invalid name '" + std::string(name) + "' for " + type.name());
}

Pondo::String EnumType::stringValue(const TypeData& type, U32 number) {
  for (const Enumerator& e : type.enumerators()) {
    if (e.number == number) return Pondo::String(e.name);
  }
  return Pondo::String("invalid(" + std::to_string(number) + ")");
}

U8 EnumType::sequenceToValue(const TypeData& type, CharRange& range) {
  return instance(type, range.takeWord());
}

}  // namespace Qel

// Qel/Exception.cpp — messages of the framework's errors.
#include "Qel/Exception.h"

#include <fmt/format.h>

#include <ostream>

namespace Qel {

std::ostream& operator<<(std::ostream& out, const Exception& e) { return out << e.what(); }

void throwNewEntityArgsException(const char* typeName) {
  throw NewEntityArgsException(
      fmt::format("{}: a new entity of this type takes no constructor arguments", typeName));
}

void throwMutatorArgNullPointerException(const char* argName, const char* typeName, U16 attribute) {
  throw NullPointerArgException(
      fmt::format("{} attribute {}: argument '{}' must not be null", typeName, attribute, argName));
}

void rethrowFromDeserializeAttr(const RangeException& e, const char* attrName) {
  throw RangeException(fmt::format("attribute {}: {}", attrName, e.what()));
}

void throwMutatorReinstantiating(const char* typeName, const char* attrName, const void* existing,
                                 const void* requested) {
  throw MutatorReinstantiatingException(
      fmt::format("{}: cannot re-instantiate with {} {} while it exists with {} {}", typeName,
                  attrName, requested, attrName, existing));
}

namespace Impl {

void throwBadOptionalAccess() { throw BadOptionalAccess("access to an absent optional value"); }

}  // namespace Impl
}  // namespace Qel

// Qel/Exception.h — the framework's exceptions and the helpers that raise them.
///
/// Every framework error derives from `Qel::Exception` (a `std::runtime_error`); printing an
/// exception writes its message. Helpers named `throw...` build the message in one place so
/// that every caller reports the same error the same way.
#pragma once

#include <iosfwd>
#include <stdexcept>
#include <string>

#include "Pondo/Types.h"

namespace Qel {

class Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A value outside the range of its type (a number, an enumerator name, an index).
class RangeException : public Exception {
 public:
  using Exception::Exception;
};

/// Text that does not follow the generic value syntax.
class ParseException : public Exception {
 public:
  using Exception::Exception;
};

/// A mutator asked to re-create an existing member with different constructor arguments.
class MutatorReinstantiatingException : public Exception {
 public:
  using Exception::Exception;
};

/// A mutator given a null pointer for an argument that must be present.
class NullPointerArgException : public Exception {
 public:
  using Exception::Exception;
};

/// A directory asked to create an entity with arguments the type does not take.
class NewEntityArgsException : public Exception {
 public:
  using Exception::Exception;
};

/// An absent `Qel::Optional` was read.
class BadOptionalAccess : public Exception {
 public:
  using Exception::Exception;
};

/// Generic access to an attribute that does not exist or does not allow the operation.
class AttributeException : public Exception {
 public:
  using Exception::Exception;
};

std::ostream& operator<<(std::ostream& out, const Exception& e);

[[noreturn]] void throwNewEntityArgsException(const char* typeName);
[[noreturn]] void throwMutatorArgNullPointerException(const char* argName, const char* typeName,
                                                      U16 attribute);
/// Re-raises a range error met while reading attribute `attrName`, naming the attribute.
[[noreturn]] void rethrowFromDeserializeAttr(const RangeException& e, const char* attrName);

/// Refuses to re-create a member that exists with another value of `attrName`.
[[noreturn]] void throwMutatorReinstantiating(const char* typeName, const char* attrName,
                                              const void* existing, const void* requested);

namespace Impl {
[[noreturn]] void throwBadOptionalAccess();
}  // namespace Impl

}  // namespace Qel

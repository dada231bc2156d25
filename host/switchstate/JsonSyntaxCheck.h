// host/switchstate/JsonSyntaxCheck.h — a strict JSON syntax check that names the place of the first
// fault.
///
/// Run only on a text the fast parser refused, whose own position of a fault is approximate
/// (its first stage gives none): it finds the exact byte and a reason a person can act on.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace Host {

/// A syntax fault: the byte offset where it lies and why.
struct JsonFault {
  std::size_t offset;
  std::string reason;
};

/// The first syntax fault of `text` as one JSON document (RFC 8259, nesting at most 1024
/// deep); none when it is well-formed.
std::optional<JsonFault> firstJsonFault(std::string_view text);

/// Whether `c` is JSON's white space.
inline bool jsonSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace Host

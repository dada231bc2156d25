// Qel/CharRange.h — a cursor over text, and the primitives that parse the generic value text.
///
/// The generic text of a value lists its attributes in registration order between braces:
/// `{ifIndex=5, trafficClass=all}`; nested values nest: `{k0={ifIndex=5, trafficClass=all},
/// k0Valid=true}`. Blanks between tokens are allowed. A parse that does not find what it needs
/// raises `Qel::ParseException` naming the type or attribute and the text where it stopped; a
/// value out of its type's range raises `Qel::RangeException`.
#pragma once

#include <string_view>
#include <type_traits>

#include "Pondo/String.h"
#include "Pondo/Types.h"
#include "Qel/Exception.h"

namespace Qel {

class CharRange {
 public:
  explicit CharRange(std::string_view text) noexcept : rest_(text) {}

  std::string_view rest() const noexcept { return rest_; }
  bool atEnd() const noexcept { return rest_.empty(); }
  void skipBlanks() noexcept;
  /// Consumes `token` (after blanks) when it comes next.
  bool tryConsume(std::string_view token) noexcept;
  /// Consumes `token` (after blanks) or raises a parse error naming `what`.
  void need(std::string_view token, std::string_view what);
  /// Consumes the longest run (after blanks) of letters, digits and underscores.
  std::string_view takeWord() noexcept;

  /// Opening of a value of `typeName` with its first attribute: `{attrName=`.
  static void needPre(CharRange& range, const char* typeName, const char* attrName);
  /// Separator introducing the next attribute: `, attrName=`.
  static void needSep(CharRange& range, const char* attrName);

 private:
  std::string_view rest_;
};

U32 sequenceToValue(CharRange& range, U32*);
U64 sequenceToValue(CharRange& range, U64*);
bool sequenceToValue(CharRange& range, bool*);

/// Value types parse themselves from a range through a constructor.
template <class T>
requires std::is_constructible_v<T, CharRange&> T sequenceToValue(CharRange& range, T*) {
  return T(range);
}

/// Guard over the end of an attribute that closes its value: `close()` consumes the `}`.
class DesAttrPost {
 public:
  explicit DesAttrPost(CharRange& range) noexcept : range_(range) {}
  void close() { range_.need("}", "end of value"); }

 private:
  CharRange& range_;
};

/// Guard that a parse used all of its text: `check()` raises a parse error when text is left.
class CharRangeCheckAllDataConsumed {
 public:
  explicit CharRangeCheckAllDataConsumed(CharRange& range) noexcept : range_(range) {}
  void check();

 private:
  CharRange& range_;
};

/// Reads the opening of a value, its first attribute's name and that attribute's value.
template <class T>
T desAttrPre(CharRange& range, const char* typeName, const char* attrName) {
  CharRange::needPre(range, typeName, attrName);
  try {
    return sequenceToValue(range, static_cast<T*>(nullptr));
  } catch (const RangeException& e) {
    rethrowFromDeserializeAttr(e, attrName);
  }
}

/// Reads the last attribute of a value and the end of the value.
template <class T>
T desAttrPost(CharRange& range, const char* attrName) {
  CharRange::needSep(range, attrName);
  DesAttrPost post(range);
  T value;
  try {
    value = sequenceToValue(range, static_cast<T*>(nullptr));
  } catch (const RangeException& e) {
    rethrowFromDeserializeAttr(e, attrName);
  }
  post.close();
  return value;
}

/// Parses the whole of `text` as one `T`.
template <class T>
T strepToValue(const Pondo::String& text, T*) {
  CharRange range(text.view());
  CharRangeCheckAllDataConsumed all(range);
  T value = sequenceToValue(range, static_cast<T*>(nullptr));
  all.check();
  return value;
}

}  // namespace Qel

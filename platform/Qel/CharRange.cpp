// Qel/CharRange.cpp — tokens and number parsing of the generic value text.
#include "Qel/CharRange.h"

#include <cctype>
#include <charconv>
#include <string>

namespace Qel {

namespace {

[[noreturn]] void throwParse(std::string_view what, std::string_view rest) {
  std::string at(rest.substr(0, 32));
  throw ParseException("expected " + std::string(what) + " at '" + at + "'");
}

template <class T>
T unsignedNumber(CharRange& range, const char* typeName) {
  range.skipBlanks();
  std::string_view rest = range.rest();
  std::size_t n = 0;
  while (n < rest.size() && std::isdigit(static_cast<unsigned char>(rest[n]))) ++n;
  if (n == 0) throwParse(typeName, rest);
  T value{};
  auto [end, ec] = std::from_chars(rest.data(), rest.data() + n, value);
  if (ec == std::errc::result_out_of_range) {
    throw RangeException(std::string(rest.substr(0, n)) + " is out of range for " + typeName);
  }
  range.tryConsume(rest.substr(0, n));
  return value;
}

}  // namespace

void CharRange::skipBlanks() noexcept {
  while (!rest_.empty() && (rest_.front() == ' ' || rest_.front() == '\t')) rest_.remove_prefix(1);
}

bool CharRange::tryConsume(std::string_view token) noexcept {
  skipBlanks();
  if (!rest_.starts_with(token)) return false;
  rest_.remove_prefix(token.size());
  return true;
}

void CharRange::need(std::string_view token, std::string_view what) {
  if (!tryConsume(token))
    throwParse(std::string("'") + std::string(token) + "' (" + std::string(what) + ")", rest_);
}

std::string_view CharRange::takeWord() noexcept {
  skipBlanks();
  std::size_t n = 0;
  while (n < rest_.size() &&
         (std::isalnum(static_cast<unsigned char>(rest_[n])) || rest_[n] == '_')) {
    ++n;
  }
  std::string_view word = rest_.substr(0, n);
  rest_.remove_prefix(n);
  return word;
}

void CharRange::needPre(CharRange& range, const char* typeName, const char* attrName) {
  range.need("{", typeName);
  range.need(attrName, typeName);
  range.need("=", attrName);
}

void CharRange::needSep(CharRange& range, const char* attrName) {
  range.need(",", attrName);
  range.need(attrName, "attribute name");
  range.need("=", attrName);
}

U32 sequenceToValue(CharRange& range, U32*) { return unsignedNumber<U32>(range, "U32"); }
U64 sequenceToValue(CharRange& range, U64*) { return unsignedNumber<U64>(range, "U64"); }

bool sequenceToValue(CharRange& range, bool*) {
  CharRange probe = range;
  std::string_view word = probe.takeWord();
  if (word != "true" && word != "false") throwParse("true or false", range.rest());
  range = probe;
  return word == "true";
}

void CharRangeCheckAllDataConsumed::check() {
  range_.skipBlanks();
  if (!range_.atEnd()) throwParse("end of text", range_.rest());
}

}  // namespace Qel

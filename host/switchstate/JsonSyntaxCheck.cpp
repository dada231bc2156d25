// host/switchstate/JsonSyntaxCheck.cpp — a recursive-descent JSON checker that stops at the first
// fault.
#include "JsonSyntaxCheck.h"

#include <cctype>

namespace Host {

namespace {

constexpr std::size_t maxDepth = 1024;

/// A strict JSON syntax check, run only on a text the parser refused, to find the place and
/// reason of its first fault (the parser's own position is approximate).
class SyntaxCheck {
 public:
  explicit SyntaxCheck(std::string_view text) : t_(text) {}

  std::optional<JsonFault> run() {
    skipSpace();
    if (i_ == t_.size()) return JsonFault{0, "empty document"};
    if (!value(0)) return fault_;
    skipSpace();
    if (i_ != t_.size()) return JsonFault{i_, "trailing content after the document"};
    return std::nullopt;
  }

 private:
  bool fail(std::size_t at, std::string reason) {
    fault_ = JsonFault{at, at == t_.size() ? "unexpected end of document" : std::move(reason)};
    return false;
  }
  bool at(char c) const { return i_ < t_.size() && t_[i_] == c; }
  void skipSpace() {
    while (i_ < t_.size() && jsonSpace(t_[i_])) ++i_;
  }
  bool literal(std::string_view word) {
    if (t_.substr(i_, word.size()) != word) return fail(i_, "expected a value");
    i_ += word.size();
    return true;
  }

  bool value(std::size_t depth) {
    skipSpace();
    if (i_ == t_.size()) return fail(i_, "unexpected end of document");
    switch (t_[i_]) {
      case '{':
        return depth >= maxDepth ? fail(i_, "nested too deeply") : object(depth + 1);
      case '[':
        return depth >= maxDepth ? fail(i_, "nested too deeply") : array(depth + 1);
      case '"':
        return string();
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default:
        return number();
    }
  }

  bool object(std::size_t depth) {
    ++i_;
    skipSpace();
    if (at('}')) return ++i_, true;
    for (;;) {
      skipSpace();
      if (!at('"')) return fail(i_, "expected a string key");
      if (!string()) return false;
      skipSpace();
      if (!at(':')) return fail(i_, "expected ':'");
      ++i_;
      if (!value(depth)) return false;
      skipSpace();
      if (at('}')) return ++i_, true;
      if (!at(',')) return fail(i_, "expected ',' or '}'");
      ++i_;
    }
  }

  bool array(std::size_t depth) {
    ++i_;
    skipSpace();
    if (at(']')) return ++i_, true;
    for (;;) {
      if (!value(depth)) return false;
      skipSpace();
      if (at(']')) return ++i_, true;
      if (!at(',')) return fail(i_, "expected ',' or ']'");
      ++i_;
    }
  }

  bool string() {
    const std::size_t start = i_++;
    while (i_ < t_.size()) {
      const auto c = static_cast<unsigned char>(t_[i_]);
      if (c == '"') return ++i_, true;
      if (c < 0x20) return fail(i_, "control character in string");
      if (c == '\\' && !escape()) return false;
      if (c >= 0x80 && !utf8()) return false;
      if (c != '\\' && c < 0x80) ++i_;
    }
    return fail(start, "unclosed string");
  }

  bool escape() {
    const std::size_t start = i_++;
    if (i_ == t_.size()) return fail(start, "invalid escape");
    const char c = t_[i_++];
    if (std::string_view("\"\\/bfnrt").find(c) != std::string_view::npos) return true;
    if (c != 'u' || i_ + 4 > t_.size()) return fail(start, "invalid escape");
    for (int k = 0; k < 4; ++k, ++i_) {
      if (!std::isxdigit(static_cast<unsigned char>(t_[i_]))) return fail(start, "invalid escape");
    }
    return true;
  }

  bool utf8() {
    const auto* s = reinterpret_cast<const unsigned char*>(t_.data());
    const unsigned char c = s[i_];
    const std::size_t extra = (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 0;
    if (extra == 0 || c < 0xc2 || c > 0xf4 || i_ + extra >= t_.size()) {
      return fail(i_, "invalid UTF-8");
    }
    for (std::size_t k = 1; k <= extra; ++k) {
      if ((s[i_ + k] & 0xc0) != 0x80) return fail(i_, "invalid UTF-8");
    }
    i_ += extra + 1;
    return true;
  }

  bool digits() {
    const std::size_t from = i_;
    while (i_ < t_.size() && std::isdigit(static_cast<unsigned char>(t_[i_]))) ++i_;
    return i_ > from;
  }

  bool number() {
    const std::size_t start = i_;
    if (at('-')) ++i_;
    if (at('0')) {
      ++i_;
    } else if (!digits()) {
      return fail(start, i_ == start ? "expected a value" : "invalid number");
    }
    if (at('.')) {
      ++i_;
      if (!digits()) return fail(start, "invalid number");
    }
    if (at('e') || at('E')) {
      ++i_;
      if (at('+') || at('-')) ++i_;
      if (!digits()) return fail(start, "invalid number");
    }
    if (i_ < t_.size() && !jsonSpace(t_[i_]) && !at(',') && !at(']') && !at('}')) {
      return fail(start, "invalid number");
    }
    return true;
  }

  std::string_view t_;
  std::size_t i_ = 0;
  JsonFault fault_{0, ""};
};

}  // namespace

std::optional<JsonFault> firstJsonFault(std::string_view text) { return SyntaxCheck(text).run(); }

}  // namespace Host

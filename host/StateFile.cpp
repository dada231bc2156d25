// host/StateFile.cpp — reading a state file with simdjson's on-demand parser.
///
/// The reader walks the document once, in order, validating every value as it goes; the first
/// fault ends the walk with a `Refusal`. The parser knows only roughly where a syntax fault
/// lies (its first stage not at all), so a refused text is scanned again by a strict checker
/// that names the exact line, column and reason.
#include "StateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <simdjson.h>
#include <unordered_set>

namespace Host {

namespace ondemand = simdjson::ondemand;
using Bridging::StormControl::ClassStatus;
using Bridging::StormControl::ThresholdType;

namespace {

constexpr std::size_t minBlockSize = 64 * 1024;
constexpr std::size_t maxDepth = 1024;

/// Why a file is refused: the complete one-line message.
struct Refusal {
  std::string message;
};

/// Line and column (both from 1) of byte `offset` of `text`.
std::string lineColumn(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  const std::size_t line = 1 + std::count(before.begin(), before.end(), '\n');
  const std::size_t lineStart = before.rfind('\n');
  const std::size_t column = offset - (lineStart == std::string_view::npos ? 0 : lineStart + 1) + 1;
  return std::to_string(line) + ":" + std::to_string(column);
}

/// A syntax fault: where and why.
struct Fault {
  std::size_t offset;
  std::string reason;
};

/// A strict JSON syntax check, run only on a text the parser refused, to find the place and
/// reason of its first fault (the parser's own position is approximate).
class SyntaxCheck {
 public:
  explicit SyntaxCheck(std::string_view text) : t_(text) {}

  std::optional<Fault> run() {
    skipSpace();
    if (i_ == t_.size()) return Fault{0, "empty document"};
    if (!value(0)) return fault_;
    skipSpace();
    if (i_ != t_.size()) return Fault{i_, "trailing content after the document"};
    return std::nullopt;
  }

 private:
  static bool space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

  bool fail(std::size_t at, std::string reason) {
    fault_ = Fault{at, at == t_.size() ? "unexpected end of document" : std::move(reason)};
    return false;
  }
  bool at(char c) const { return i_ < t_.size() && t_[i_] == c; }
  void skipSpace() {
    while (i_ < t_.size() && space(t_[i_])) ++i_;
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
      case '{': return depth >= maxDepth ? fail(i_, "nested too deeply") : object(depth + 1);
      case '[': return depth >= maxDepth ? fail(i_, "nested too deeply") : array(depth + 1);
      case '"': return string();
      case 't': return literal("true");
      case 'f': return literal("false");
      case 'n': return literal("null");
      default: return number();
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
    if (i_ < t_.size() && !space(t_[i_]) && !at(',') && !at(']') && !at('}')) {
      return fail(start, "invalid number");
    }
    return true;
  }

  std::string_view t_;
  std::size_t i_ = 0;
  Fault fault_{0, ""};
};

/// A JSON path, kept as views and joined only for a message.
struct Path {
  std::string_view parts[5];
  std::size_t size = 0;

  Path operator/(std::string_view part) const {
    Path p = *this;
    if (p.size < std::size(p.parts)) p.parts[p.size++] = part;
    return p;
  }
  std::string text() const {
    std::string out = "$";
    for (std::size_t i = 0; i < size; ++i) out.append(".").append(parts[i]);
    return out;
  }
};

}  // namespace

/// One walk over one document, filling one `StateFile`.
class StateFileReader {
 public:
  StateFileReader(const std::string& path, std::string_view text, StateFile& out)
      : path_(path), text_(text), out_(out) {}

  void read(ondemand::parser& parser, const simdjson::padded_string& padded) {
    ondemand::document doc;
    if (const auto code = parser.iterate(padded).get(doc)) {
      if (code == simdjson::CAPACITY) throw Refusal{path_ + ": file too large"};
      syntax(code, text_.size());
    }
    ondemand::value root;
    if (const auto code = doc.get_value().get(root)) syntax(doc, code);
    ondemand::object top = object(root, Path{}, doc);
    bool seenInterfaces = false;
    bool seenStatus = false;
    for (auto field : top) {
      auto [key, value] = member(field, doc);
      const Path path = Path{} / key;
      if (key == "interfaces") {
        once(seenInterfaces, path);
        interfaces(object(value, path, doc), path, doc);
      } else if (key == "status") {
        once(seenStatus, path);
        status(object(value, path, doc), path, doc);
      } else {
        invalid(path, "unknown key \"" + std::string(key) + "\"");
      }
    }
    const char* rest = nullptr;
    if (doc.current_location().get(rest) == simdjson::SUCCESS) {
      syntax(simdjson::TRAILING_CONTENT, std::size_t(rest - text_.data()));
    }
  }

 private:
  using Member = std::pair<std::string_view, ondemand::value>;

  [[noreturn]] void syntaxAt(std::size_t offset, const std::string& reason) const {
    throw Refusal{path_ + ":" + lineColumn(text_, offset) + ": " + reason};
  }
  /// A syntax fault: the place and reason the strict check finds, or else the parser's.
  [[noreturn]] void syntax(simdjson::error_code code, std::size_t parserOffset) const {
    if (const std::optional<Fault> fault = SyntaxCheck(text_).run()) {
      syntaxAt(fault->offset, fault->reason);
    }
    syntaxAt(parserOffset, simdjson::error_message(code));
  }
  [[noreturn]] void syntax(ondemand::document& doc, simdjson::error_code code) const {
    const char* location = nullptr;
    const std::size_t offset = doc.current_location().get(location) == simdjson::SUCCESS
                                   ? std::size_t(location - text_.data())
                                   : text_.size();
    syntax(code, offset);
  }
  [[noreturn]] void invalid(const Path& path, const std::string& reason) const {
    throw Refusal{path_ + ": at " + path.text() + ": " + reason};
  }
  void once(bool& seen, const Path& path) const {
    if (seen) invalid(path, "duplicate key");
    seen = true;
  }

  Member member(simdjson::simdjson_result<ondemand::field> result, ondemand::document& doc) {
    ondemand::field field;
    if (const auto code = std::move(result).get(field)) syntax(doc, code);
    std::string_view key;
    if (const auto code = field.unescaped_key().get(key)) syntax(doc, code);
    return {key, field.value()};
  }

  ondemand::json_type type(ondemand::value& value, ondemand::document& doc) {
    ondemand::json_type t;
    if (const auto code = value.type().get(t)) syntax(doc, code);
    return t;
  }

  ondemand::object object(ondemand::value& value, const Path& path, ondemand::document& doc) {
    if (type(value, doc) != ondemand::json_type::object) invalid(path, "expected an object");
    ondemand::object obj;
    if (const auto code = value.get_object().get(obj)) syntax(doc, code);
    return obj;
  }

  /// A non-negative integer no larger than `max`.
  U64 integer(ondemand::value& value, const Path& path, U64 min, U64 max,
              ondemand::document& doc) {
    if (type(value, doc) != ondemand::json_type::number) invalid(path, "expected an integer");
    std::string_view token = value.raw_json_token();
    while (!token.empty() && std::strchr(" \t\r\n", token.back())) token.remove_suffix(1);
    const std::string shown(token);
    if (!token.empty() && token.front() == '-') invalid(path, "negative number " + shown);
    if (token.find_first_of(".eE") != std::string_view::npos) {
      invalid(path, "fractional number " + shown);
    }
    U64 n = 0;
    const auto code = value.get_uint64().get(n);
    const bool allDigits = std::all_of(token.begin(), token.end(), [](char c) {
      return c >= '0' && c <= '9';
    });
    if (allDigits && (code == simdjson::NUMBER_OUT_OF_RANGE || code == simdjson::INCORRECT_TYPE)) {
      invalid(path, "number " + shown + " too large");
    }
    if (code) syntax(doc, code);
    if (n < min || n > max) {
      invalid(path, "number " + shown + " out of range " + std::to_string(min) + ".." +
                        std::to_string(max));
    }
    return n;
  }

  void interfaces(ondemand::object obj, const Path& path, ondemand::document& doc) {
    std::unordered_map<U32, std::string_view> byIfIndex;
    for (auto field : obj) {
      auto [key, value] = member(field, doc);
      const Path at = path / key;
      if (!StateFile::validIntfName(key)) invalid(at, "invalid interface name");
      const U32 ifIndex = U32(integer(value, at, 1, 0xffffffffu, doc));
      const std::string_view name = out_.keep(key);
      const auto [it, added] = byIfIndex.emplace(ifIndex, name);
      if (!out_.interfaceByName_.emplace(name, U32(out_.interfaces_.size())).second) {
        invalid(at, "duplicate key");
      }
      if (!added) {
        invalid(at, "ifIndex " + std::to_string(ifIndex) + " already belongs to " +
                        std::string(it->second));
      }
      out_.interfaces_.push_back({name, ifIndex});
    }
  }

  void status(ondemand::object obj, const Path& path, ondemand::document& doc) {
    for (auto field : obj) {
      auto [key, value] = member(field, doc);
      const Path at = path / key;
      if (!StateFile::validEntityName(key)) invalid(at, "invalid status entity name");
      const std::string_view name = out_.keep(key);
      if (!out_.entityByName_.emplace(name, U32(out_.entities_.size())).second) {
        invalid(at, "duplicate key");
      }
      out_.entities_.push_back({name, {}, {}});
      entity(out_.entities_.back(), object(value, at, doc), at, doc);
    }
  }

  void entity(StateFile::Entity& entity, ondemand::object obj, const Path& path,
              ondemand::document& doc) {
    for (auto field : obj) {
      auto [key, value] = member(field, doc);
      const Path at = path / key;
      if (!StateFile::validIntfName(key)) invalid(at, "invalid interface name");
      const std::string_view name = out_.keep(key);
      if (!entity.entryByName.emplace(name, U32(entity.entries.size())).second) {
        invalid(at, "duplicate key");
      }
      entity.entries.push_back({name, classes(object(value, at, doc), at, doc)});
      ++out_.entryCount_;
    }
  }

  StateFile::Classes classes(ondemand::object obj, const Path& path, ondemand::document& doc) {
    StateFile::Classes result;
    bool seen[4] = {};
    for (auto field : obj) {
      auto [key, value] = member(field, doc);
      const Path at = path / key;
      static constexpr std::string_view names[] = {"all", "broadcast", "multicast",
                                                   "unknownUnicast"};
      ClassStatus* const slots[] = {&result.all, &result.broadcast, &result.multicast,
                                    &result.unknownUnicast};
      const auto* found = std::find(std::begin(names), std::end(names), key);
      if (found == std::end(names)) invalid(at, "unknown class \"" + std::string(key) + "\"");
      const std::size_t i = std::size_t(found - std::begin(names));
      once(seen[i], at);
      *slots[i] = classStatus(object(value, at, doc), at, doc);
    }
    return result;
  }

  ClassStatus classStatus(ondemand::object obj, const Path& path, ondemand::document& doc) {
    ClassStatus result;
    bool seen[4] = {};
    for (auto field : obj) {
      auto [key, value] = member(field, doc);
      const Path at = path / key;
      if (key == "level") {
        once(seen[0], at);
        result.threshold.level = integer(value, at, 0, ~U64{0}, doc);
      } else if (key == "units") {
        once(seen[1], at);
        result.threshold.type = ThresholdType(integer(value, at, 0, 2, doc));
      } else if (key == "scale") {
        once(seen[2], at);
        result.threshold.scale = U8(integer(value, at, 0, 255, doc));
      } else if (key == "drops") {
        once(seen[3], at);
        result.drops = integer(value, at, 0, ~U64{0}, doc);
      } else {
        invalid(at, "unknown field \"" + std::string(key) + "\"");
      }
    }
    return result;
  }

  const std::string& path_;
  std::string_view text_;
  StateFile& out_;
};

const StateFile::Entry* StateFile::Entity::entry(std::string_view intfName) const {
  const auto it = entryByName.find(intfName);
  return it == entryByName.end() ? nullptr : &entries[it->second];
}

std::unique_ptr<StateFile> StateFile::load(const std::string& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = path + ": cannot open: " + std::strerror(errno);
    return nullptr;
  }
  struct stat st {};
  std::string text;
  if (::fstat(fd, &st) == 0) text.reserve(std::size_t(st.st_size));
  char buffer[64 * 1024];
  ssize_t n = 0;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, std::size_t(n));
  const int readErrno = errno;
  ::close(fd);
  if (n < 0) {
    error = path + ": cannot read: " + std::strerror(readErrno);
    return nullptr;
  }
  return parse(path, text, error);
}

std::unique_ptr<StateFile> StateFile::parse(const std::string& path, std::string_view text,
                                            std::string& error) {
  auto file = std::make_unique<StateFile>();
  try {
    const simdjson::padded_string padded(text);
    ondemand::parser parser;
    StateFileReader(path, text, *file).read(parser, padded);
  } catch (const Refusal& refusal) {
    error = refusal.message;
    return nullptr;
  }
  return file;
}

std::optional<U32> StateFile::ifIndex(std::string_view intfName) const {
  const auto it = interfaceByName_.find(intfName);
  if (it == interfaceByName_.end()) return std::nullopt;
  return interfaces_[it->second].ifIndex;
}

const StateFile::Entity* StateFile::entity(std::string_view name) const {
  const auto it = entityByName_.find(name);
  return it == entityByName_.end() ? nullptr : &entities_[it->second];
}

bool StateFile::validIntfName(std::string_view name) noexcept {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return c > 0x20 && c < 0x7f;
  });
}

bool StateFile::validEntityName(std::string_view name) noexcept {
  return !name.empty() && name.find('/') == std::string_view::npos;
}

std::string_view StateFile::keep(std::string_view text) {
  if (blocks_.empty() || blockUsed_ + text.size() > blockSize_) {
    blockSize_ = std::max(minBlockSize, text.size());
    blocks_.push_back(std::make_unique<char[]>(blockSize_));
    blockUsed_ = 0;
  }
  char* at = blocks_.back().get() + blockUsed_;
  std::memcpy(at, text.data(), text.size());
  blockUsed_ += text.size();
  return {at, text.size()};
}

}  // namespace Host

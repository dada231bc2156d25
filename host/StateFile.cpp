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

#include <simdjson.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "Velo/Job.h"

namespace Host {

namespace ondemand = simdjson::ondemand;
using Bridging::StormControl::ClassStatus;
using Bridging::StormControl::ThresholdType;

namespace {

constexpr std::size_t minBlockSize = 64 * 1024;
constexpr std::size_t maxDepth = 1024;

/// Why a file is refused: the complete message, quoting names and keys as they were read.
struct Refusal {
  std::string message;
};

/// `text` with its control characters escaped as in JSON (`\u000a`): a refusal quoting a key
/// that holds a line break stays one line.
std::string oneLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) {
      out += c;
      continue;
    }
    char escaped[7];
    std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(static_cast<unsigned char>(c)));
    out += escaped;
  }
  return out;
}

/// Bytes of a state file read per step: a few milliseconds of copying, so even a large file
/// is read in several task runs.
constexpr std::size_t readBlockSize = 4 << 20;

/// The largest state file read, about ten times one of 100,000 interfaces with every class
/// given: a huge or sparse file is refused from its size alone, before memory is taken for it.
constexpr std::size_t maxFileSize = std::size_t(256) << 20;

/// The file type `mode` names, for the refusal of a file that is not a regular one.
const char* fileTypeName(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFIFO:
      return "FIFO";
    case S_IFDIR:
      return "directory";
    case S_IFCHR:
      return "character device";
    case S_IFBLK:
      return "block device";
    case S_IFSOCK:
      return "socket";
    default:
      return "unknown type";
  }
}

/// An open file descriptor, closed with its owner.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

 private:
  int fd_ = -1;
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

 public:
  static bool space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

 private:
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
    if (i_ < t_.size() && !space(t_[i_]) && !at(',') && !at(']') && !at('}')) {
      return fail(start, "invalid number");
    }
    return true;
  }

  std::string_view t_;
  std::size_t i_ = 0;
  Fault fault_{0, ""};
};

U32 nameHash(std::string_view name) {
  const std::size_t h = std::hash<std::string_view>()(name);
  return U32(h ^ (h >> 32));
}

U32 entryHash(U32 entity, std::string_view intfName) {
  return nameHash(intfName) ^ (entity * 0x9e3779b9u);
}

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

/// One walk over one document, filling one `StateFile`; resumable after any interface,
/// status entity or status entry, so the walk can be cut into steps.
class StateFileReader {
 public:
  /// Reads the file at `path` in its first step.
  explicit StateFileReader(std::string path)
      : path_(std::move(path)), out_(std::make_unique<StateFile>()), fromFile_(true) {}
  StateFileReader(std::string path, std::string_view text)
      : path_(std::move(path)), padded_(text), out_(std::make_unique<StateFile>()) {}

  /// Walks on until the end (true) or until `yield` asks to stop after a step (false).
  bool readSome(const std::function<bool()>& yield) {
    if (done_) return true;
    try {
      if (!Velo::Job::stepUntil([this] { return step(); }, [&yield] { return yield && yield(); })) {
        return false;
      }
    } catch (const Refusal& refusal) {
      error_ = oneLine(refusal.message);
      out_.reset();
    }
    release();
    done_ = true;
    return true;
  }

  std::unique_ptr<StateFile> take() { return std::move(out_); }
  const std::string& error() const noexcept { return error_; }

 private:
  enum class At : U8 { start, reading, indexing, top, interfaces, entities, entries };

  /// One step of the walk; false at the end.
  bool step() {
    switch (at_) {
      case At::start:
        if (fromFile_) {
          openFile();
        } else {
          checkSize(padded_.size());
          at_ = At::indexing;
        }
        return true;
      case At::reading:
        readBlock();
        return true;
      case At::indexing:
        index();
        return true;
      case At::top:
        return topMember();
      case At::interfaces:
        if (section_ == sectionEnd_) return closeSection();
        interfaceMember(*section_);
        ++section_;
        return true;
      case At::entities:
        if (section_ == sectionEnd_) return closeSection();
        entityMember(*section_);
        return true;
      case At::entries:
        if (entity_ == entityEnd_) return closeEntity();
        entryMember(*entity_);
        ++entity_;
        return true;
    }
    return false;
  }

  /// Opens the file and sizes the parser's padded buffer for its whole text; only a regular
  /// file of an acceptable size is read. The path is looked at first, as opening a device can
  /// act on it; the opened file is looked at again, as the path may have changed meanwhile, and
  /// is opened without blocking (a FIFO would wait for a writer) nor becoming a terminal.
  void openFile() {
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0) checkFile(st);
    file_ = FileDescriptor(::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file_) throw Refusal{path_ + ": cannot open: " + std::strerror(errno)};
    if (::fstat(file_.get(), &st) != 0) cannotRead(errno);
    checkFile(st);
    padded_ = simdjson::padded_string(std::size_t(st.st_size));
    readSoFar_ = 0;
    at_ = At::reading;
  }

  /// Refuses anything but a regular file of at most `maxFileSize` bytes.
  void checkFile(const struct stat& st) const {
    if (!S_ISREG(st.st_mode)) {
      throw Refusal{path_ + ": not a regular file: " + fileTypeName(st.st_mode)};
    }
    checkSize(U64(st.st_size));
  }

  void checkSize(U64 size) const {
    if (size <= maxFileSize) return;
    throw Refusal{path_ + ": file too large: " + std::to_string(size) + " bytes, at most " +
                  std::to_string(maxFileSize)};
  }

  /// Reads the next block straight into the padded buffer; once the size found at opening is
  /// read, checks that the file ends there.
  void readBlock() {
    if (readSoFar_ == padded_.size()) return expectEnd();
    const std::size_t want = std::min(readBlockSize, padded_.size() - readSoFar_);
    const ssize_t n = ::read(file_.get(), padded_.data() + readSoFar_, want);
    if (n < 0 && errno == EINTR) return;
    if (n < 0) cannotRead(errno);
    if (n == 0) changedWhileRead();
    readSoFar_ += std::size_t(n);
  }

  void expectEnd() {
    char extra;
    const ssize_t n = ::read(file_.get(), &extra, 1);
    if (n < 0 && errno == EINTR) return;
    if (n < 0) cannotRead(errno);
    if (n > 0) changedWhileRead();
    file_ = FileDescriptor();
    at_ = At::indexing;
  }

  /// A file written while it is read is refused rather than read half old, half new: its
  /// writer's close brings another reload.
  [[noreturn]] void changedWhileRead() const {
    throw Refusal{path_ + ": file changed size while read"};
  }

  [[noreturn]] void cannotRead(int error) const {
    throw Refusal{path_ + ": cannot read: " + std::strerror(error)};
  }

  /// The parser's first stage over the whole text, then the walk starts at the top object.
  void index() {
    text_ = std::string_view(padded_.data(), padded_.size());
    if (const auto code = parser_.iterate(padded_).get(doc_)) syntax(code, text_.size());
    ondemand::value root;
    if (const auto code = doc_.get_value().get(root)) syntax(code);
    iterate(object(root, Path{}), top_, topEnd_);
    at_ = At::top;
  }

  bool topMember() {
    if (top_ == topEnd_) {
      const char* rest = nullptr;
      if (doc_.current_location().get(rest) == simdjson::SUCCESS) {
        syntax(simdjson::TRAILING_CONTENT, std::size_t(rest - text_.data()));
      }
      return false;
    }
    auto [key, value] = member(*top_);
    sectionKey_ = key;
    const Path path = Path{} / key;
    if (key == "interfaces") {
      once(seenInterfaces_, path);
      iterate(object(value, path), section_, sectionEnd_);
      at_ = At::interfaces;
    } else if (key == "status") {
      once(seenStatus_, path);
      iterate(object(value, path), section_, sectionEnd_);
      at_ = At::entities;
    } else {
      invalid(path, "unknown key \"" + std::string(key) + "\"");
    }
    return true;
  }

  bool closeSection() {
    ++top_;
    at_ = At::top;
    return true;
  }

  bool closeEntity() {
    StateFile::Entity& entity = out_->entities_.back();
    entity.count = U32(out_->entries_.size()) - entity.first;
    ++section_;
    at_ = At::entities;
    return true;
  }

  void iterate(ondemand::object obj, ondemand::object_iterator& begin,
               ondemand::object_iterator& end) {
    if (const auto code = obj.begin().get(begin)) syntax(code);
    if (const auto code = obj.end().get(end)) syntax(code);
  }

  /// Frees the parser's memory and the text once the walk is over.
  void release() {
    parser_ = ondemand::parser();
    padded_ = simdjson::padded_string();
    text_ = {};
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
  [[noreturn]] void syntax(simdjson::error_code code) {
    const char* location = nullptr;
    const std::size_t offset = doc_.current_location().get(location) == simdjson::SUCCESS
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

  Member member(simdjson::simdjson_result<ondemand::field> result) {
    ondemand::field field;
    if (const auto code = std::move(result).get(field)) syntax(code);
    std::string_view key;
    if (const auto code = field.unescaped_key().get(key)) syntax(code);
    return {key, field.value()};
  }

  ondemand::json_type type(ondemand::value& value) {
    ondemand::json_type t;
    if (const auto code = value.type().get(t)) syntax(code);
    return t;
  }

  ondemand::object object(ondemand::value& value, const Path& path) {
    if (type(value) != ondemand::json_type::object) invalid(path, "expected an object");
    ondemand::object obj;
    if (const auto code = value.get_object().get(obj)) syntax(code);
    return obj;
  }

  /// A non-negative integer no larger than `max`.
  U64 integer(ondemand::value& value, const Path& path, U64 min, U64 max) {
    if (type(value) != ondemand::json_type::number) invalid(path, "expected an integer");
    U64 n = 0;
    const auto code = value.get_uint64().get(n);
    if (code == simdjson::SUCCESS && n >= min && n <= max) return n;
    std::string_view token = value.raw_json_token();
    while (!token.empty() && SyntaxCheck::space(token.back())) token.remove_suffix(1);
    const std::string shown(token);
    if (!token.empty() && token.front() == '-') invalid(path, "negative number " + shown);
    if (token.find_first_of(".eE") != std::string_view::npos) {
      invalid(path, "fractional number " + shown);
    }
    const bool allDigits =
        std::all_of(token.begin(), token.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (allDigits && (code == simdjson::NUMBER_OUT_OF_RANGE || code == simdjson::INCORRECT_TYPE)) {
      invalid(path, "number " + shown + " too large");
    }
    if (code) syntax(code);
    invalid(path, "number " + shown + " out of range " + std::to_string(min) + ".." +
                      std::to_string(max));
  }

  void interfaceMember(simdjson::simdjson_result<ondemand::field> field) {
    auto [key, value] = member(std::move(field));
    const Path at = Path{} / sectionKey_ / key;
    if (!StateFile::validIntfName(key)) invalid(at, "invalid interface name");
    const U32 ifIndex = U32(integer(value, at, 1, 0xffffffffu));
    auto& list = out_->interfaces_;
    const U32 position = U32(list.size());
    // `key = key`: clang before 16 cannot capture a structured binding.
    const U32 named = out_->interfaceByName_.insert(
        nameHash(key), position, [&, key = key](U32 p) { return list[p].name == key; });
    if (named != position) invalid(at, "duplicate key");
    list.push_back({out_->keep(key), ifIndex});
    const U32 owner =
        byIfIndex_.insert(ifIndex, position, [&](U32 p) { return list[p].ifIndex == ifIndex; });
    if (owner != position) {
      invalid(at, "ifIndex " + std::to_string(ifIndex) + " already belongs to " +
                      std::string(list[owner].name));
    }
  }

  void entityMember(simdjson::simdjson_result<ondemand::field> field) {
    auto [key, value] = member(std::move(field));
    const Path at = Path{} / sectionKey_ / key;
    if (!StateFile::validEntityName(key)) invalid(at, "invalid status entity name");
    auto& list = out_->entities_;
    const U32 position = U32(list.size());
    const U32 named = out_->entityByName_.insert(
        nameHash(key), position, [&, key = key](U32 p) { return list[p].name == key; });
    if (named != position) invalid(at, "duplicate key");
    list.push_back({out_->keep(key), U32(out_->entries_.size()), 0});
    entityKey_ = key;
    iterate(object(value, at), entity_, entityEnd_);
    at_ = At::entries;
  }

  void entryMember(simdjson::simdjson_result<ondemand::field> field) {
    auto [key, value] = member(std::move(field));
    const Path at = Path{} / sectionKey_ / entityKey_ / key;
    if (!StateFile::validIntfName(key)) invalid(at, "invalid interface name");
    auto& list = out_->entries_;
    const U32 entity = U32(out_->entities_.size() - 1);
    const U32 position = U32(list.size());
    const U32 named = out_->entryByName_.insert(
        entryHash(entity, key), position,
        [&, key = key](U32 p) { return list[p].entity == entity && list[p].intfName == key; });
    if (named != position) invalid(at, "duplicate key");
    const U32 first = statusByIntf_.insert(
        nameHash(key), position, [&, key = key](U32 p) { return list[p].intfName == key; });
    if (first != position) {
      invalid(at, "already has a status in entity " +
                      std::string(out_->entities_[list[first].entity].name));
    }
    list.push_back({out_->keep(key), entity, classes(object(value, at), at)});
  }

  StateFile::Classes classes(ondemand::object obj, const Path& path) {
    StateFile::Classes result;
    bool seen[4] = {};
    for (auto field : obj) {
      auto [key, value] = member(std::move(field));
      const Path at = path / key;
      static constexpr std::string_view names[] = {"all", "broadcast", "multicast",
                                                   "unknownUnicast"};
      ClassStatus* const slots[] = {&result.all, &result.broadcast, &result.multicast,
                                    &result.unknownUnicast};
      const auto* found = std::find(std::begin(names), std::end(names), key);
      if (found == std::end(names)) invalid(at, "unknown class \"" + std::string(key) + "\"");
      const std::size_t i = std::size_t(found - std::begin(names));
      once(seen[i], at);
      *slots[i] = classStatus(object(value, at), at);
    }
    return result;
  }

  ClassStatus classStatus(ondemand::object obj, const Path& path) {
    ClassStatus result;
    bool seen[4] = {};
    for (auto field : obj) {
      auto [key, value] = member(std::move(field));
      const Path at = path / key;
      if (key == "level") {
        once(seen[0], at);
        result.threshold.level = integer(value, at, 0, ~U64{0});
      } else if (key == "units") {
        once(seen[1], at);
        result.threshold.type = ThresholdType(integer(value, at, 0, 2));
      } else if (key == "scale") {
        once(seen[2], at);
        result.threshold.scale = U8(integer(value, at, 0, 255));
      } else if (key == "drops") {
        once(seen[3], at);
        result.drops = integer(value, at, 0, ~U64{0});
      } else {
        invalid(at, "unknown field \"" + std::string(key) + "\"");
      }
    }
    return result;
  }

  std::string path_;
  simdjson::padded_string padded_;
  std::string_view text_;  // the padded buffer without its padding, once read
  std::unique_ptr<StateFile> out_;
  std::string error_;
  bool fromFile_ = false;
  FileDescriptor file_;
  std::size_t readSoFar_ = 0;
  bool done_ = false;

  ondemand::parser parser_;
  ondemand::document doc_;
  At at_ = At::start;
  bool seenInterfaces_ = false;
  bool seenStatus_ = false;
  ondemand::object_iterator top_, topEnd_;
  ondemand::object_iterator section_, sectionEnd_;  // "interfaces" or "status"
  ondemand::object_iterator entity_, entityEnd_;    // one status entity
  std::string_view sectionKey_;
  std::string_view entityKey_;
  StateFile::Index byIfIndex_;  // refuses a second interface with one ifIndex
  // Refuses a second status of one interface: a switch publishes it in one slice only, and the
  // table machine deletes an interface's rows when any entity withdraws its status.
  StateFile::Index statusByIntf_;
};

StateFileLoader::StateFileLoader(const std::string& path)
    : reader_(std::make_unique<StateFileReader>(path)) {}

StateFileLoader::StateFileLoader(const std::string& path, std::string_view text)
    : reader_(std::make_unique<StateFileReader>(path, text)) {}

StateFileLoader::~StateFileLoader() = default;

bool StateFileLoader::readSome(const std::function<bool()>& yield) {
  return reader_->readSome(yield);
}

std::unique_ptr<StateFile> StateFileLoader::take() { return reader_->take(); }

const std::string& StateFileLoader::error() const noexcept { return reader_->error(); }

std::unique_ptr<StateFile> StateFile::load(const std::string& path, std::string& error) {
  StateFileLoader loader(path);
  loader.readSome({});
  std::unique_ptr<StateFile> file = loader.take();
  if (!file) error = loader.error();
  return file;
}

std::unique_ptr<StateFile> StateFile::parse(const std::string& path, std::string_view text,
                                            std::string& error) {
  StateFileLoader loader(path, text);
  loader.readSome({});
  std::unique_ptr<StateFile> file = loader.take();
  if (!file) error = loader.error();
  return file;
}

std::optional<U32> StateFile::ifIndex(std::string_view intfName) const {
  const U32 p = interfaceByName_.find(nameHash(intfName),
                                      [&](U32 p) { return interfaces_[p].name == intfName; });
  if (p == Index::none) return std::nullopt;
  return interfaces_[p].ifIndex;
}

const StateFile::Entity* StateFile::entity(std::string_view name) const {
  const U32 p =
      entityByName_.find(nameHash(name), [&](U32 p) { return entities_[p].name == name; });
  return p == Index::none ? nullptr : &entities_[p];
}

const StateFile::Entry* StateFile::entry(const Entity& entity, std::string_view intfName) const {
  const U32 e = U32(&entity - entities_.data());
  const U32 p = entryByName_.find(entryHash(e, intfName), [&](U32 p) {
    return entries_[p].entity == e && entries_[p].intfName == intfName;
  });
  return p == Index::none ? nullptr : &entries_[p];
}

template <class Same>
U32 StateFile::Index::find(U32 hash, Same same) const {
  if (slots_.empty()) return none;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.position == none) return none;
    if (slot.hash == hash && same(slot.position)) return slot.position;
  }
}

template <class Same>
U32 StateFile::Index::insert(U32 hash, U32 position, Same same) {
  if (2 * (count_ + 1) > slots_.size()) grow();
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.position == none) {
      slot = {hash, position};
      ++count_;
      return position;
    }
    if (slot.hash == hash && same(slot.position)) return slot.position;
  }
}

void StateFile::Index::grow() {
  std::vector<Slot> old(std::max<std::size_t>(16, 2 * slots_.size()), Slot{0, none});
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.position == none) continue;
    std::size_t i = slot.hash & mask;
    while (slots_[i].position != none) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

bool StateFile::validIntfName(std::string_view name) noexcept {
  return !name.empty() &&
         std::all_of(name.begin(), name.end(), [](char c) { return c > 0x20 && c < 0x7f; });
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

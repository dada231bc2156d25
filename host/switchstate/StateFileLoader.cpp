// host/switchstate/StateFileLoader.cpp — reading a state file with simdjson's on-demand parser, in
// steps.
///
/// The reader walks the document once, in order, validating every value as it goes against the
/// schema of `StateFields.h`; the first fault ends the walk with a `StateFileRefusal`. The
/// parser knows only roughly where a syntax fault lies (its first stage not at all), so a
/// refused text is scanned again by the strict checker, which names the exact line, column and
/// reason.
#include "StateFileLoader.h"

#include <simdjson.h>
#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

#include "JsonSyntaxCheck.h"
#include "PaddedFileReader.h"
#include "StateFields.h"
#include "StateFileRefusal.h"
#include "Velo/Job.h"

namespace Host {

namespace ondemand = simdjson::ondemand;
using Bridging::StormControl::ClassStatus;
using Bridging::StormControl::trafficClassCount;
using Bridging::StormControl::trafficClassNames;

namespace {

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

/// Line and column (both from 1) of byte `offset` of `text`.
std::string lineColumn(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  const std::string_view before = text.substr(0, offset);
  const std::size_t line = 1 + std::count(before.begin(), before.end(), '\n');
  const std::size_t lineStart = before.rfind('\n');
  const std::size_t column = offset - (lineStart == std::string_view::npos ? 0 : lineStart + 1) + 1;
  return std::to_string(line) + ":" + std::to_string(column);
}

/// The classes' names as views, measured once.
constexpr auto classNames = [] {
  std::array<std::string_view, trafficClassCount> names;
  for (std::size_t i = 0; i < trafficClassCount; ++i) names[i] = trafficClassNames[i];
  return names;
}();

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
      : path_(path), out_(std::make_unique<StateFile>()), file_(std::in_place, std::move(path)) {}
  StateFileReader(std::string path, std::string_view text)
      : path_(std::move(path)), padded_(text), out_(std::make_unique<StateFile>()) {}

  /// Walks on until the end (true) or until `yield` asks to stop after a step (false).
  bool readSome(const std::function<bool()>& yield) {
    if (done_) return true;
    try {
      if (!Velo::Job::stepUntil([this] { return step(); }, [&yield] { return yield && yield(); })) {
        return false;
      }
    } catch (const StateFileRefusal& refusal) {
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
        if (file_) {
          file_->open(padded_);
          at_ = At::reading;
        } else {
          PaddedFileReader::checkSize(path_, padded_.size());
          at_ = At::indexing;
        }
        return true;
      case At::reading:
        if (!file_->readBlock(padded_)) return true;
        file_.reset();
        at_ = At::indexing;
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
    if (key == StateFields::interfaces) {
      once(seenInterfaces_, path);
      iterate(object(value, path), section_, sectionEnd_);
      at_ = At::interfaces;
    } else if (key == StateFields::status) {
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
    throw StateFileRefusal{path_ + ":" + lineColumn(text_, offset) + ": " + reason};
  }
  /// A syntax fault: the place and reason the strict check finds, or else the parser's.
  [[noreturn]] void syntax(simdjson::error_code code, std::size_t parserOffset) const {
    if (const std::optional<JsonFault> fault = firstJsonFault(text_)) {
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
    throw StateFileRefusal{path_ + ": at " + path.text() + ": " + reason};
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
    while (!token.empty() && jsonSpace(token.back())) token.remove_suffix(1);
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
    const U32 ifIndex = U32(integer(value, at, StateFields::minIfIndex, StateFields::maxIfIndex));
    auto& list = out_->interfaces_;
    const U32 position = U32(list.size());
    // `key = key`: clang before 16 cannot capture a structured binding.
    const U32 named = out_->interfaceByName_.insert(
        StateFile::nameHash(key), position, [&, key = key](U32 p) { return list[p].name == key; });
    if (named != position) invalid(at, "duplicate key");
    list.push_back({out_->names_.keep(key), ifIndex});
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
        StateFile::nameHash(key), position, [&, key = key](U32 p) { return list[p].name == key; });
    if (named != position) invalid(at, "duplicate key");
    list.push_back({out_->names_.keep(key), U32(out_->entries_.size()), 0});
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
        StateFile::entryHash(entity, key), position,
        [&, key = key](U32 p) { return list[p].entity == entity && list[p].intfName == key; });
    if (named != position) invalid(at, "duplicate key");
    const U32 first =
        statusByIntf_.insert(StateFile::nameHash(key), position,
                             [&, key = key](U32 p) { return list[p].intfName == key; });
    if (first != position) {
      invalid(at, "already has a status in entity " +
                      std::string(out_->entities_[list[first].entity].name));
    }
    list.push_back({out_->names_.keep(key), entity, classes(object(value, at), at)});
  }

  StateFile::Classes classes(ondemand::object obj, const Path& path) {
    StateFile::Classes result;
    bool seen[trafficClassCount] = {};
    for (auto field : obj) {
      auto [key, value] = member(std::move(field));
      const Path at = path / key;
      const auto* found = std::find(classNames.begin(), classNames.end(), key);
      if (found == classNames.end()) {
        invalid(at, "unknown class \"" + std::string(key) + "\"");
      }
      const std::size_t i = std::size_t(found - classNames.begin());
      once(seen[i], at);
      result.byClass[i] = classStatus(object(value, at), at);
    }
    return result;
  }

  ClassStatus classStatus(ondemand::object obj, const Path& path) {
    ClassStatus result;
    bool seen[StateFields::classFieldCount] = {};
    for (auto field : obj) {
      auto [key, value] = member(std::move(field));
      const Path at = path / key;
      const auto* found =
          std::find_if(std::begin(StateFields::classFields), std::end(StateFields::classFields),
                       [&, key = key](const auto& f) { return f.name == key; });
      if (found == std::end(StateFields::classFields)) {
        invalid(at, "unknown field \"" + std::string(key) + "\"");
      }
      once(seen[found - std::begin(StateFields::classFields)], at);
      found->set(result, integer(value, at, found->min, found->max));
    }
    return result;
  }

  std::string path_;
  simdjson::padded_string padded_;
  std::string_view text_;  // the padded buffer without its padding, once read
  std::unique_ptr<StateFile> out_;
  std::string error_;
  std::optional<PaddedFileReader> file_;  // while a file is read; none for a given text
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
  PositionIndex byIfIndex_;  // refuses a second interface with one ifIndex
  // Refuses a second status of one interface: a switch publishes it in one slice only, and the
  // table machine deletes an interface's rows when any entity withdraws its status.
  PositionIndex statusByIntf_;
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

}  // namespace Host

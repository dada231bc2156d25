// tests/fuzz/StateFileFuzz.cpp — libFuzzer target: the input is the contents of a state file.
///
/// The bytes are written to a memory file and read by path the two ways the daemon reads a
/// state file: at once at start (`StateFile::load`) and in steps between packets on a reload
/// (`StateFileLoader`, asked to stop after every step). Both must reach the same verdict. An
/// accepted file must keep `StateFile`'s promises: valid and unique names, unique non-zero
/// ifIndexes, lookups that find every element, entries grouped by entity, an interface's
/// status in one entity at most, and the state written back as JSON reads as the same state. A refusal is one line that names the file.
/// Any broken promise aborts with a description, which libFuzzer reports as a crash.
#include "host/StateFile.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_set>

namespace {

using Host::StateFile;

[[noreturn]] void broken(const std::string& what) {
  std::fprintf(stderr, "broken promise: %s\n", what.c_str());
  std::abort();
}

void check(bool holds, const std::string& what) {
  if (!holds) broken(what);
}

/// A file in memory with a path that `open` accepts; its contents are replaced per input.
class MemoryFile {
 public:
  MemoryFile() : fd_(memfd_create("state.json", MFD_CLOEXEC)) {
    check(fd_ >= 0, "memfd_create failed");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }

  void contentsAre(const std::uint8_t* data, std::size_t size) {
    check(ftruncate(fd_, 0) == 0, "ftruncate failed");
    check(pwrite(fd_, data, size, 0) == ssize_t(size), "pwrite failed");
  }
  const std::string& path() const noexcept { return path_; }

 private:
  int fd_;
  std::string path_;
};

void appendString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

void appendClass(std::string& out, const char* name,
                 const Bridging::StormControl::ClassStatus& status) {
  out += '"';
  out += name;
  out += "\":{\"level\":" + std::to_string(status.threshold.level) +
         ",\"units\":" + std::to_string(unsigned(status.threshold.type)) +
         ",\"scale\":" + std::to_string(unsigned(status.threshold.scale)) +
         ",\"drops\":" + std::to_string(status.drops) + "}";
}

/// The state as JSON with every field written out: equal texts, equal states.
std::string jsonOf(const StateFile& file) {
  std::string out = "{\"interfaces\":{";
  for (const StateFile::Interface& intf : file.interfaces()) {
    if (out.back() != '{') out += ',';
    appendString(out, intf.name);
    out += ':' + std::to_string(intf.ifIndex);
  }
  out += "},\"status\":{";
  for (const StateFile::Entity& entity : file.entities()) {
    if (out.back() != '{') out += ',';
    appendString(out, entity.name);
    out += ":{";
    for (const StateFile::Entry& entry : file.entries(entity)) {
      if (out.back() != '{') out += ',';
      appendString(out, entry.intfName);
      out += ":{";
      appendClass(out, "all", entry.classes.all);
      out += ',';
      appendClass(out, "broadcast", entry.classes.broadcast);
      out += ',';
      appendClass(out, "multicast", entry.classes.multicast);
      out += ',';
      appendClass(out, "unknownUnicast", entry.classes.unknownUnicast);
      out += '}';
    }
    out += '}';
  }
  return out + "}}";
}

void checkInterfaces(const StateFile& file) {
  std::unordered_set<U32> ifIndexes;
  for (const StateFile::Interface& intf : file.interfaces()) {
    const std::string name(intf.name);
    check(StateFile::validIntfName(intf.name), "invalid interface name accepted: " + name);
    check(intf.ifIndex != 0, "ifIndex 0 accepted for " + name);
    check(ifIndexes.insert(intf.ifIndex).second,
          "ifIndex " + std::to_string(intf.ifIndex) + " accepted twice");
    check(file.ifIndex(intf.name) == intf.ifIndex, "lookup of interface " + name + " fails");
  }
}

void checkEntities(const StateFile& file) {
  U64 entries = 0;
  U32 position = 0;
  std::unordered_set<std::string_view> withStatus;
  for (const StateFile::Entity& entity : file.entities()) {
    const std::string name(entity.name);
    check(StateFile::validEntityName(entity.name), "invalid entity name accepted: " + name);
    check(file.entity(entity.name) == &entity, "lookup of entity " + name + " fails");
    check(entity.first == entries, "entries of entity " + name + " are not consecutive");
    for (const StateFile::Entry& entry : file.entries(entity)) {
      const std::string intf(entry.intfName);
      check(StateFile::validIntfName(entry.intfName), "invalid entry name accepted: " + intf);
      check(entry.entity == position, "entry " + intf + " names another entity than " + name);
      check(withStatus.insert(entry.intfName).second, "status of " + intf + " accepted twice");
      check(file.entry(entity, entry.intfName) == &entry,
            "lookup of entry " + intf + " in " + name + " fails");
    }
    entries += entity.count;
    ++position;
  }
  check(entries == file.entryCount(), "entity counts do not add up to the entries");
}

void checkRefusal(const std::string& error, const std::string& path) {
  check(error.starts_with(path + ":"), "refusal does not name the file: " + error);
  check(error.find('\n') == std::string::npos, "refusal is not one line: " + error);
}

/// The reload's way: read in steps, stopping after every one.
std::unique_ptr<StateFile> loadInSteps(const std::string& path, std::string& error) {
  Host::StateFileLoader loader(path);
  while (!loader.readSome([] { return true; })) {
  }
  std::unique_ptr<StateFile> file = loader.take();
  if (!file) error = loader.error();
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static MemoryFile memory;
  memory.contentsAre(data, size);
  std::string error, stepError;
  const std::unique_ptr<StateFile> file = StateFile::load(memory.path(), error);
  const std::unique_ptr<StateFile> stepped = loadInSteps(memory.path(), stepError);
  if (!file) {
    check(!stepped, "accepted in steps, refused at once: " + error);
    check(stepError == error, "refused differently in steps: " + stepError + " | " + error);
    checkRefusal(error, memory.path());
    return 0;
  }
  check(stepped != nullptr, "refused in steps, accepted at once: " + stepError);
  checkInterfaces(*file);
  checkEntities(*file);
  const std::string json = jsonOf(*file);
  check(jsonOf(*stepped) == json, "read differently in steps");
  std::string rereadError;
  const std::unique_ptr<StateFile> reread = StateFile::parse("written.json", json, rereadError);
  check(reread != nullptr, "the state written back is refused: " + rereadError + "\n" + json);
  check(jsonOf(*reread) == json, "the state written back reads differently:\n" + json);
  return 0;
}

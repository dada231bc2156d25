// tests/fuzz/StateFileFuzz.cpp — libFuzzer target: the input is the contents of a state file.
///
/// The bytes are read by path the two ways the daemon reads a state file: at once at start
/// (`StateFile::load`) and in steps between packets on a reload (`StateFileLoader`, asked to stop
/// after every step). Both must reach the same verdict. An accepted file must keep `StateFile`'s
/// promises: valid and unique names, unique non-zero ifIndexes, lookups that find every element,
/// entries grouped by entity, an interface's status in one entity at most, and the state written
/// back as JSON reads as the same state. A refusal is one line that names the file. A broken
/// promise aborts with a description, which libFuzzer reports as a crash.
#include "host/switchstate/StateFile.h"
#include "host/switchstate/StateFileLoader.h"
#include "host/switchstate/StateFileWriter.h"

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

/// Aborts with `what` unless the promise `holds`.
void check(bool holds, const std::string& what) {
  if (holds) return;
  std::fprintf(stderr, "broken promise: %s\n", what.c_str());
  std::abort();
}

/// The path of a file in memory, which `open` accepts, holding `size` bytes at `data`.
const std::string& memoryFile(const std::uint8_t* data, std::size_t size) {
  static const int fd = memfd_create("state.json", MFD_CLOEXEC);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  check(fd >= 0 && ftruncate(fd, 0) == 0 && pwrite(fd, data, size, 0) == ssize_t(size),
        "cannot write the file in memory");
  return path;
}

void checkAccepted(const StateFile& file) {
  std::unordered_set<U32> ifIndexes;
  for (const StateFile::Interface& intf : file.interfaces()) {
    const std::string name(intf.name);
    check(StateFile::validIntfName(intf.name), "invalid interface name accepted: " + name);
    check(intf.ifIndex != 0, "ifIndex 0 accepted for " + name);
    check(ifIndexes.insert(intf.ifIndex).second,
          "ifIndex " + std::to_string(intf.ifIndex) + " accepted twice");
    check(file.ifIndex(intf.name) == intf.ifIndex, "lookup of interface " + name + " fails");
  }
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = memoryFile(data, size);
  std::string error;
  const std::unique_ptr<StateFile> file = StateFile::load(path, error);
  Host::StateFileLoader loader(path);  // the reload's way: in steps, stopping after every one
  while (!loader.readSome([] { return true; })) continue;
  const std::unique_ptr<StateFile> stepped = loader.take();
  check(!file == !stepped, "one verdict at once, another in steps: " + error + loader.error());
  if (!file) {
    check(loader.error() == error,
          "refused differently in steps: " + loader.error() + " | " + error);
    check(error.starts_with(path + ":"), "refusal does not name the file: " + error);
    check(error.find('\n') == std::string::npos, "refusal is not one line: " + error);
    return 0;
  }
  checkAccepted(*file);
  const std::string json = Host::stateFileJson(*file);
  check(Host::stateFileJson(*stepped) == json, "read differently in steps");
  std::string rereadError;
  const std::unique_ptr<StateFile> reread = StateFile::parse("written.json", json, rereadError);
  check(reread != nullptr, "the state written back is refused: " + rereadError + "\n" + json);
  check(Host::stateFileJson(*reread) == json, "the state written back reads differently:\n" + json);
  return 0;
}

// host/StateFile.h — a state file, read and validated into the state it describes.
///
/// The file is JSON: "interfaces" maps interface names to ifIndexes, "status" maps status
/// entity names to objects from interface name to per-class thresholds and drop counters.
/// A `StateFile` exists only for a file that parsed and validated completely; a refusal is one
/// line naming the file, the place (line and column of a syntax error, or the JSON path of a
/// validation error) and the reason. Names are copied into blocks owned by the `StateFile`,
/// so its views stay valid for its life; the file's text is not kept.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "Bridging/IntfStatus.h"
#include "Pondo/Types.h"

namespace Host {

class StateFile {
 public:
  using Classes = Bridging::StormControl::IntfStatus::Classes;

  struct Interface {
    std::string_view name;
    U32 ifIndex;
  };
  /// The status of one interface in one entity.
  struct Entry {
    std::string_view intfName;
    Classes classes;
  };
  struct Entity {
    std::string_view name;
    std::vector<Entry> entries;  // in file order
    std::unordered_map<std::string_view, U32> entryByName;

    const Entry* entry(std::string_view intfName) const;
  };

  /// Reads and validates the file at `path`; null, with `error` set, when it is refused.
  static std::unique_ptr<StateFile> load(const std::string& path, std::string& error);
  /// Validates `text` as the contents of the file `path` (which only names it in messages).
  static std::unique_ptr<StateFile> parse(const std::string& path, std::string_view text,
                                          std::string& error);

  const std::vector<Interface>& interfaces() const noexcept { return interfaces_; }
  const std::vector<Entity>& entities() const noexcept { return entities_; }
  std::optional<U32> ifIndex(std::string_view intfName) const;
  const Entity* entity(std::string_view name) const;
  /// Status entries over all entities.
  U64 entryCount() const noexcept { return entryCount_; }

  /// Whether `name` can name an interface: printable ASCII, no space, not empty.
  static bool validIntfName(std::string_view name) noexcept;
  /// Whether `name` can name an entity of the slice directory: not empty, no '/'.
  static bool validEntityName(std::string_view name) noexcept;

 private:
  friend class StateFileReader;

  /// A copy of `text` that lives as long as this object.
  std::string_view keep(std::string_view text);

  std::vector<Interface> interfaces_;
  std::unordered_map<std::string_view, U32> interfaceByName_;  // index into interfaces_
  std::vector<Entity> entities_;
  std::unordered_map<std::string_view, U32> entityByName_;
  U64 entryCount_ = 0;
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t blockUsed_ = 0;
  std::size_t blockSize_ = 0;
};

}  // namespace Host

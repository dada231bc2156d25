// host/switchstate/StateFile.h — a state file, read and validated into the state it describes.
///
/// The file is JSON: "interfaces" maps interface names to ifIndexes, "status" maps status
/// entity names to objects from interface name to per-class thresholds and drop counters
/// (the fields of `StateFields.h`); an interface has a status in one entity at most, as a
/// switch publishes each interface's status in one slice.
/// A `StateFile` exists only for a file that parsed and validated completely; a refusal is one
/// line naming the file, the place (line and column of a syntax error, or the JSON path of a
/// validation error) and the reason. Names are copied into an arena owned by the `StateFile`,
/// so its views stay valid for its life; the file's text is not kept. Everything lives in a
/// few large arrays (the lookups are indexes of positions), so building and releasing even a
/// file of 100,000 interfaces takes few allocations.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Bridging/IntfStatus.h"
#include "NameArena.h"
#include "PositionIndex.h"

namespace Host {

class StateFile {
 public:
  using Classes = Bridging::StormControl::Classes;

  struct Interface {
    std::string_view name;
    U32 ifIndex;
  };
  /// The status of one interface in one entity.
  struct Entry {
    std::string_view intfName;
    U32 entity;  // position in `entities()`
    Classes classes;
  };
  /// A status entity: its entries are `count` consecutive ones from `first`, in file order.
  struct Entity {
    std::string_view name;
    U32 first;
    U32 count;
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
  std::span<const Entry> entries(const Entity& entity) const noexcept {
    return {entries_.data() + entity.first, entity.count};
  }
  /// The entry of `intfName` in `entity`, or null.
  const Entry* entry(const Entity& entity, std::string_view intfName) const;
  /// Status entries over all entities.
  U64 entryCount() const noexcept { return entries_.size(); }

  /// Whether `name` can name an interface: printable ASCII, no space, not empty.
  static bool validIntfName(std::string_view name) noexcept;
  /// Whether `name` can name an entity of the slice directory: not empty, no '/'.
  static bool validEntityName(std::string_view name) noexcept;

 private:
  friend class StateFileReader;

  static U32 nameHash(std::string_view name);
  static U32 entryHash(U32 entity, std::string_view intfName);

  std::vector<Interface> interfaces_;
  PositionIndex interfaceByName_;
  std::vector<Entity> entities_;
  PositionIndex entityByName_;
  std::vector<Entry> entries_;
  PositionIndex entryByName_;  // by entity and interface name
  NameArena names_;
};

}  // namespace Host

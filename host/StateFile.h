// host/StateFile.h — a state file, read and validated into the state it describes.
///
/// The file is JSON: "interfaces" maps interface names to ifIndexes, "status" maps status
/// entity names to objects from interface name to per-class thresholds and drop counters; an
/// interface has a status in one entity at most, as a switch publishes each interface's status
/// in one slice. Only a regular file is read (a symlink is followed): a FIFO or device put in
/// its place is refused at once, without waiting for a writer, and a file too large is refused
/// from its size before anything is read.
/// A `StateFile` exists only for a file that parsed and validated completely; a refusal is one
/// line naming the file, the place (line and column of a syntax error, or the JSON path of a
/// validation error) and the reason. Names are copied into blocks owned by the `StateFile`,
/// so its views stay valid for its life; the file's text is not kept. Everything lives in a
/// few large arrays (the lookups are open-addressing indexes of positions), so building and
/// releasing even a file of 100,000 interfaces takes few allocations.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Bridging/IntfStatus.h"
#include "Pondo/Types.h"

namespace Host {

class StateFileReader;

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

  /// Positions by hash, in one array: open addressing with linear probing, at most half full.
  class Index {
   public:
    static constexpr U32 none = ~U32{0};
    /// The position whose key `same` accepts, among those stored under `hash`; else `none`.
    template <class Same>
    U32 find(U32 hash, Same same) const;
    /// Stores `position` under `hash` unless `same` accepts a stored one, which it returns.
    template <class Same>
    U32 insert(U32 hash, U32 position, Same same);

   private:
    struct Slot {
      U32 hash;
      U32 position;  // `none` when empty
    };
    void grow();
    std::vector<Slot> slots_;
    U32 count_ = 0;
  };

  /// A copy of `text` that lives as long as this object.
  std::string_view keep(std::string_view text);

  std::vector<Interface> interfaces_;
  Index interfaceByName_;
  std::vector<Entity> entities_;
  Index entityByName_;
  std::vector<Entry> entries_;
  Index entryByName_;  // by entity and interface name
  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t blockUsed_ = 0;
  std::size_t blockSize_ = 0;
};

/// Reads a state file in steps, so that a large file never holds the thread for long: the
/// parser indexes the whole text at once (a few milliseconds for 20 MB), then the walk that
/// validates and copies the values stops whenever asked, after any interface or status entry.
class StateFileLoader {
 public:
  /// Reads the text of the file at `path`; a failure is the refusal `readSome` reports.
  explicit StateFileLoader(const std::string& path);
  /// Takes `text` as the contents of the file `path` (which only names it in messages).
  StateFileLoader(const std::string& path, std::string_view text);
  ~StateFileLoader();
  StateFileLoader(const StateFileLoader&) = delete;
  StateFileLoader& operator=(const StateFileLoader&) = delete;

  /// Reads on; true once the file is read or refused, false when `yield` (asked after every
  /// step; empty: never) stopped it. The text and the parser are released when it is done.
  bool readSome(const std::function<bool()>& yield);
  /// Once done: the file, or null when it was refused (see `error`).
  std::unique_ptr<StateFile> take();
  const std::string& error() const noexcept;

 private:
  std::unique_ptr<StateFileReader> reader_;
};

}  // namespace Host

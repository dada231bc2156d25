// host/switchstate/PositionIndex.h — positions in an array, found by hash: a lookup for a state
// file's lists.
///
/// One array of slots, open addressing with linear probing, at most half full. It stores only
/// positions and their hashes; the caller's predicate compares the keys in its own array, so
/// no key is copied. Positions are never removed.
#pragma once

#include <algorithm>
#include <vector>

#include "Pondo/Types.h"

namespace Host {

class PositionIndex {
 public:
  static constexpr U32 none = ~U32{0};

  /// The position whose key `same` accepts, among those stored under `hash`; else `none`.
  template <class Same>
  U32 find(U32 hash, Same same) const {
    if (slots_.empty()) return none;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.position == none) return none;
      if (slot.hash == hash && same(slot.position)) return slot.position;
    }
  }

  /// Stores `position` under `hash` unless `same` accepts a stored one, which it returns.
  template <class Same>
  U32 insert(U32 hash, U32 position, Same same) {
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

 private:
  struct Slot {
    U32 hash;
    U32 position;  // `none` when empty
  };

  void grow() {
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

  std::vector<Slot> slots_;
  U32 count_ = 0;
};

}  // namespace Host

// Pooly/Slab.h — the slab allocator and the per-type allocation tracker.
///
/// `slabAlloc` serves small objects from size classes of 8-byte steps carved out of 64 KiB
/// chunks mapped apart from the general heap, with no per-object header: an object of 56 bytes
/// costs 56 bytes. Freed objects go back to their class's free list; chunks are kept for reuse.
/// Sizes above 512 bytes, and every size in sanitizer builds (so that ASan sees each object), go to
/// `malloc`.
///
/// A type opts in by deriving from `Pooly::Slab<T>` and declaring
/// `static inline Pooly::AllocTracker memAllocationTracker_{"Name"};`: its `operator new` and
/// `operator delete` then use the slab and keep the tracker's live counts. Single thread.
#pragma once

#include <cstddef>

#include "Pondo/Types.h"

namespace Pooly {

void* slabAlloc(std::size_t size);
void slabFree(void* p, std::size_t size) noexcept;

/// Live objects and bytes of one type, as its `operator new` and `operator delete` see them.
///
/// A tracker joins the process's list of trackers (`first`, `next`) at its first allocation,
/// so the list holds every type allocated so far, and leaves it when destroyed (a plug-in's
/// trackers go with its library). The constructor is constexpr so that a tracker is initialised
/// before any static initialiser can allocate through it.
struct AllocTracker {
  const char* typeName;
  U64 liveObjects = 0;
  U64 liveBytes = 0;
  U64 allocations = 0;

  constexpr explicit AllocTracker(const char* name) noexcept : typeName(name) {}
  ~AllocTracker();
  AllocTracker(const AllocTracker&) = delete;
  AllocTracker& operator=(const AllocTracker&) = delete;

  void allocated(std::size_t size) noexcept {
    if (allocations++ == 0) enlist();
    ++liveObjects;
    liveBytes += size;
  }
  void freed(std::size_t size) noexcept {
    --liveObjects;
    liveBytes -= size;
  }

  /// The most recently listed tracker, or null; `next` goes on to the earlier ones.
  static const AllocTracker* first() noexcept;
  const AllocTracker* next() const noexcept { return next_; }

 private:
  void enlist() noexcept;

  AllocTracker* next_ = nullptr;
};

template <class T>
struct Slab {
  static void* operator new(std::size_t size) {
    void* p = slabAlloc(size);
    T::memAllocationTracker_.allocated(size);
    return p;
  }
  static void operator delete(void* p, std::size_t size) noexcept {
    if (!p) return;
    T::memAllocationTracker_.freed(size);
    slabFree(p, size);
  }
};

}  // namespace Pooly

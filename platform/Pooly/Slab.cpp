// Pooly/Slab.cpp — size-class free lists over 64 KiB chunks, and the list of trackers.
///
/// Chunks are mapped from the kernel, not taken from `malloc`: the objects carved from them
/// live long (a table's rows), and kept among the general heap's short-lived blocks they would
/// spread the blocks of every request over a large heap. Chunks are never unmapped.
#include "Pooly/Slab.h"

#include <sys/mman.h>

#include <array>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define POOLY_USE_MALLOC 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define POOLY_USE_MALLOC 1
#endif
#endif

namespace Pooly {
#ifndef POOLY_USE_MALLOC
namespace {

constexpr std::size_t step = 8;
constexpr std::size_t largest = 512;
constexpr std::size_t chunkBytes = 64 * 1024;

struct FreeObject {
  FreeObject* next;
};

struct SizeClass {
  FreeObject* free = nullptr;
  char* carve = nullptr;  // unused tail of the newest chunk
  char* end = nullptr;
};

// Never destroyed: objects may be released by static destructors after any other teardown.
std::array<SizeClass, largest / step>& classes() {
  static auto* instance = new std::array<SizeClass, largest / step>;
  return *instance;
}

std::size_t classIndex(std::size_t size) { return (size + step - 1) / step - 1; }

void* carve(SizeClass& sc, std::size_t bytes) {
  if (sc.carve + bytes > sc.end) {
    void* mapped =
        mmap(nullptr, chunkBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    char* chunk = static_cast<char*>(mapped);
    sc.carve = chunk;
    sc.end = chunk + chunkBytes - chunkBytes % bytes;
  }
  void* p = sc.carve;
  sc.carve += bytes;
  return p;
}

}  // namespace
#endif

namespace {

// Constant-initialised, so trackers may join it from any static initialiser.
AllocTracker* firstTracker = nullptr;

}  // namespace

AllocTracker::~AllocTracker() {
  for (AllocTracker** link = &firstTracker; *link; link = &(*link)->next_) {
    if (*link != this) continue;
    *link = next_;
    return;
  }
}

const AllocTracker* AllocTracker::first() noexcept { return firstTracker; }

void AllocTracker::enlist() noexcept {
  next_ = firstTracker;
  firstTracker = this;
}

void* slabAlloc(std::size_t size) {
#ifndef POOLY_USE_MALLOC
  if (size != 0 && size <= largest) {
    SizeClass& sc = classes()[classIndex(size)];
    if (FreeObject* f = sc.free) {
      sc.free = f->next;
      return f;
    }
    return carve(sc, (classIndex(size) + 1) * step);
  }
#endif
  void* p = std::malloc(size ? size : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

void slabFree(void* p, std::size_t size) noexcept {
  if (!p) return;
#ifndef POOLY_USE_MALLOC
  if (size != 0 && size <= largest) {
    SizeClass& sc = classes()[classIndex(size)];
    sc.free = new (p) FreeObject{sc.free};
    return;
  }
#endif
  (void)size;
  std::free(p);
}

}  // namespace Pooly

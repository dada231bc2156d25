// Pooly/Slab.cpp — size-class free lists over 64 KiB chunks, and the list of trackers.
#include "Pooly/Slab.h"

#include <array>
#include <cstdlib>
#include <new>
#include <vector>

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

struct Slabs {
  std::array<SizeClass, largest / step> classes;
  std::vector<void*> chunks;
};

// Never destroyed: objects may be released by static destructors after any other teardown.
Slabs& slabs() {
  static Slabs* instance = new Slabs;
  return *instance;
}

std::size_t classIndex(std::size_t size) { return (size + step - 1) / step - 1; }

void* carve(SizeClass& sc, std::size_t bytes) {
  if (sc.carve + bytes > sc.end) {
    char* chunk = static_cast<char*>(std::malloc(chunkBytes));
    if (!chunk) throw std::bad_alloc();
    slabs().chunks.push_back(chunk);
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
    SizeClass& sc = slabs().classes[classIndex(size)];
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
    SizeClass& sc = slabs().classes[classIndex(size)];
    sc.free = new (p) FreeObject{sc.free};
    return;
  }
#endif
  (void)size;
  std::free(p);
}

}  // namespace Pooly

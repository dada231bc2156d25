// Qel/Hash.cpp — byte hashing and the process-wide seed.
#include "Qel/Hash.h"

#include <cstring>
#include <random>

namespace Qel {

void Hash::hashBytes(std::string_view bytes) noexcept {
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  for (; n >= 4; p += 4, n -= 4) {
    U32 k;
    std::memcpy(&k, p, 4);
    block(k);
  }
  U32 tail = 0;
  for (std::size_t i = 0; i < n; ++i) tail |= U32(static_cast<unsigned char>(p[i])) << (8 * i);
  if (n) block(tail);
  length_ += static_cast<U32>(bytes.size());
}

U32 HashHelper::hashSeed32() noexcept {
  static const U32 seed = [] {
    std::random_device rd;
    return static_cast<U32>(rd());
  }();
  return seed;
}

}  // namespace Qel

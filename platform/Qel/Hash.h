// Qel/Hash.h — the framework's 32-bit hash state and the hashing of common key types.
///
/// `Hash` is MurmurHash3's 32-bit block mix: start from a seed, mix values of 1 to 8 bytes in
/// a fixed order, take `result()`. Equal inputs in the same order give equal results within
/// a process; the process-wide seed `HashHelper::hashSeed32()` is chosen at start so that hash
/// orders are not predictable from outside.
///
/// `hashValue(key, seed)` is what hash collections call: it is defined here for integers and
/// `Pondo::String`, and forwards to `key.hash(seed)` for types that have that member.
#pragma once

#include <bit>
#include <string_view>
#include <type_traits>

#include "Pondo/String.h"
#include "Pondo/Types.h"

namespace Qel {

class Hash {
 public:
  explicit Hash(U32 seed) noexcept : h_(seed) {}

  /// Mixes the low `N` bytes of `value` (N is 1, 2, 4 or 8).
  template <unsigned N>
  void hashMix(U64 value) noexcept {
    static_assert(N == 1 || N == 2 || N == 4 || N == 8, "hashMix takes 1, 2, 4 or 8 bytes");
    if constexpr (N == 8) {
      block(static_cast<U32>(value));
      block(static_cast<U32>(value >> 32));
    } else {
      block(static_cast<U32>(value & (N == 4 ? 0xffffffffu : (1u << (8 * N)) - 1)));
    }
    length_ += N;
  }

  void hashBytes(std::string_view bytes) noexcept;

  U32 result() const noexcept {
    U32 h = h_ ^ length_;
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    return h;
  }

 private:
  void block(U32 k) noexcept {
    k *= 0xcc9e2d51u;
    k = std::rotl(k, 15);
    k *= 0x1b873593u;
    h_ ^= k;
    h_ = std::rotl(h_, 13);
    h_ = h_ * 5 + 0xe6546b64u;
  }

  U32 h_;
  U32 length_ = 0;
};

struct HashHelper {
  /// The process-wide seed, fixed for the life of the process.
  static U32 hashSeed32() noexcept;
};

template <class T>
concept HasHashMember = requires(const T& t, U32 seed) {
  { t.hash(seed) } -> std::convertible_to<U32>;
};

template <class T>
requires std::is_integral_v<T> || std::is_enum_v<T> U32 hashValue(T value, U32 seed)
noexcept {
  Hash h(seed);
  h.hashMix<sizeof(T) <= 4 ? 4 : 8>(static_cast<U64>(value));
  return h.result();
}

inline U32 hashValue(const Pondo::String& s, U32 seed) noexcept {
  Hash h(seed);
  h.hashBytes(s.view());
  return h.result();
}

template <HasHashMember T>
U32 hashValue(const T& value, U32 seed) noexcept(noexcept(value.hash(seed))) {
  return value.hash(seed);
}

}  // namespace Qel

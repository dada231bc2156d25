// Qel/HashMap2018Test.cpp — Qel::HashMap2018 against std::unordered_map, and its scans under
// change, for keys with and without `<` and with long runs of equal hash.
#include "Qel/HashMap2018.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <concepts>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "Pondo/Ptr.h"
#include "Pondo/String.h"

namespace {

constexpr U32 testSeed = 0x5eed1234u;

/// Ordered keys of only 61 hash values: long stretches of equal hash, ranked by key.
struct Clash {
  U32 id;
  U32 hash(U32 seed) const { return Qel::hashValue(id % 61, seed); }
  friend auto operator<=>(const Clash&, const Clash&) = default;
};
/// Keys without `<` that share hashes: ranked among equal hashes by insertion.
struct Unordered {
  U32 id;
  U32 hash(U32 seed) const { return Qel::hashValue(id % 499, seed); }
  bool operator==(const Unordered&) const = default;
};

template <class K>
K key(U32 id) {
  if constexpr (std::same_as<K, Pondo::String>)
    return Pondo::String("member-" + std::to_string(id));
  else
    return K{id};
}
template <class K>
U32 hashOf(const K& k) {
  return Qel::hashValue(k, testSeed);
}
struct ModelHash {
  std::size_t operator()(const auto& k) const { return hashOf(k); }
};
template <class K>
using Map = Qel::HashMap2018<K, U32>;
template <class K>
using Model = std::unordered_map<K, U32, ModelHash>;

/// Iteration visits exactly the model's members, once each, in ascending hash and, for keys
/// with `<`, ascending key among equal hashes: an order that no table size or history changes.
template <class K>
void expectSameMembers(const Map<K>& map, const Model<K>& model) {
  std::vector<std::pair<K, U32>> seen;
  for (auto it = map.begin(); it; ++it) seen.emplace_back(it.key(), it.value());
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end(), [](const auto& a, const auto& b) {
    if (hashOf(a.first) != hashOf(b.first)) return hashOf(a.first) < hashOf(b.first);
    if constexpr (std::totally_ordered<K>) return a.first < b.first;
    return false;
  })) << "out of hash or key order";
  EXPECT_EQ(seen.size(), model.size()) << "a member visited twice";
  EXPECT_TRUE(Model<K>(seen.begin(), seen.end()) == model);
}

template <class K>
class HashMap2018KeysTest : public testing::Test {};
using KeyTypes = testing::Types<U32, Pondo::String, Clash, Unordered>;
TYPED_TEST_SUITE(HashMap2018KeysTest, KeyTypes);

// Random changes and lookups, growing and shrinking, agree with std::unordered_map; the
// version changes exactly with the content.
TYPED_TEST(HashMap2018KeysTest, RandomOperationsMatchModel) {
  using K = TypeParam;
  std::mt19937 rng(1);
  Map<K> map(testSeed);
  Model<K> model;
  for (int op = 0; op < 40000; ++op) {
    const K k = key<K>(rng() % 1500);
    const U32 v = rng(), kind = rng() % 8, before = map.version();
    const auto m = model.find(k);
    const std::optional<U32> old = m == model.end() ? std::nullopt : std::optional(m->second);
    bool changed = old.has_value();
    if (kind < 2 && (op / 5000) % 2 == 0) {
      ASSERT_EQ(map.insert(k, v), changed = !old);
      model.emplace(k, v);
    } else if (kind == 2) {
      ASSERT_EQ(*map.insertOrAssign(k, v), model[k] = v);
      changed = true;
    } else if (kind < 4) {
      ASSERT_EQ(map.remove(k), model.erase(k) == 1);
    } else if (kind == 4) {
      ASSERT_EQ(map.take(k), old);
      model.erase(k);
    } else {
      const U32* found = map.find(k);
      ASSERT_EQ(std::pair(found ? std::optional(*found) : std::nullopt, map.contains(k)),
                std::pair(old, changed));
      changed = false;
    }
    if (op % 5000 == 0) expectSameMembers(map, model);
    ASSERT_EQ(map.version() != before, changed);
    ASSERT_EQ(map.count(), model.size());
  }
  expectSameMembers(map, model);
}

// A scan resumed with its iterator or from the last key, with removals (often of the current
// member) and insertions between runs, visits every member present throughout, none twice
// (a removed bookmark may revisit its hash's members only for keys without `<`).
TYPED_TEST(HashMap2018KeysTest, ScanUnderChurnSkipsNothing) {
  using K = TypeParam;
  for (bool fromBookmark : {false, true}) {
    std::mt19937 rng(fromBookmark ? 11 : 12);
    Map<K> map(testSeed);
    std::vector<bool> removed(3000, false);
    std::map<U32, int> visits;
    for (U32 id = 0; id < 3000; ++id) map.insert(key<K>(id), id);
    auto drop = [&](U32 id) {
      if (map.remove(key<K>(id)) && id < removed.size()) removed[id] = true;
    };
    U32 nextId = 3000;
    for (auto it = map.begin(); it;) {
      ++visits[it.value()];
      const K last = it.key();
      if (rng() % 5 == 0) {
        ASSERT_LT(nextId, 3000u + 60000u) << "the scan does not progress";
        if (rng() % 2 == 0) drop(it.value());
        for (int i = 0; i < 3; ++i) drop(rng() % nextId);
        for (int i = 0; i < 3; ++i, ++nextId) map.insert(key<K>(nextId), nextId);
      }
      if (!fromBookmark) {
        ++it;
        continue;
      }
      it = map.iteratorFrom(last);
      if (it && it.key() == last) ++it;
    }
    for (U32 id = 0; id < removed.size(); ++id) {
      EXPECT_TRUE(removed[id] || visits.contains(id)) << "member " << id;
    }
    if (!fromBookmark || std::totally_ordered<K>) {
      for (auto [id, n] : visits) EXPECT_EQ(n, 1) << "member " << id;
    }
  }
}

// The set keeps whole 64-bit keys and empties under its own scan; a reserved size holds
// until clear; clearing an empty set keeps the first version.
TEST(HashMap2018Test, SetKeepsKeysAndReservedSize) {
  static_assert(sizeof(Qel::HashMap2018<U64>::Node) <= 24, "a set member is link, hash, key");
  Qel::HashMap2018<U64> set(testSeed);
  set.clear();
  set.reserve(5000);
  const U32 buckets = set.bucketCount();
  EXPECT_TRUE(set.version() == 1u && buckets >= 5000u);
  for (U64 i = 0; i < 5000; ++i) EXPECT_TRUE(set.insert(i << 40));
  EXPECT_FALSE(set.insert(U64{5} << 40));
  EXPECT_TRUE(set.contains(U64{999} << 40) && !set.contains(999));
  for (auto it = set.begin(); it; ++it) set.remove(it.key());
  EXPECT_TRUE(set.empty() && set.bucketCount() == buckets);
  set.clear();
  EXPECT_EQ(set.bucketCount(), 0u);
}

struct Value;
using ValueMap = Qel::HashMap2018<U32, Pondo::Ptr<Value>>;
/// Counts live instances; when released, removes key `next` from its map, if it has one.
struct Value : Pondo::Node {
  Value(ValueMap* map, U32 next) : map(map), next(next) { ++live; }
  ~Value() override {
    --live;
    if (map) map->remove(next);
  }
  static inline int live = 0;
  ValueMap* map;
  U32 next;
};
static_assert(sizeof(Qel::HashMap2018<Pondo::String, Pondo::Ptr<Value>>::Node) <= 32,
              "a member is link, hash, key, value");

// Counted values are released by remove, clear and destruction; a released value may remove
// further members meanwhile; no value or node outlives the map.
TEST(HashMap2018Test, CountedValuesAreReleased) {
  const U64 nodes = ValueMap::Node::memAllocationTracker_.liveObjects;
  for (int how = 0; how < 3; ++how) {
    auto map = std::make_unique<ValueMap>(testSeed);
    for (U32 i = 0; i < 200; ++i)
      map->insert(i, Pondo::make<Value>(i < 100 ? nullptr : map.get(), i + 1));
    const U32 version = map->version();
    if (how == 0) map->remove(100);  // releases 100, which removes 101, ...
    if (how == 1) map->clear();
    const std::tuple<U32, int, bool, bool> expected[] = {
        {100, 100, true, true}, {0, 0, true, false}, {200, 200, false, true}};
    EXPECT_EQ(std::tuple(map->count(), Value::live, map->version() != version, bool(map->begin())),
              expected[how]);
    map.reset();
    EXPECT_EQ(std::pair(Value::live, ValueMap::Node::memAllocationTracker_.liveObjects),
              std::pair(0, nodes));
  }
}

// The table grows to 200k members and back, load between 1/4 and 1, never moving a value;
// an iterator writes values and re-finds its member after a change, dies once it is removed.
TEST(HashMap2018Test, GrowthAndIteratorValue) {
  Qel::HashMap2018<U32, U32> map(testSeed);
  constexpr U32 n = 200'000;
  const U32* survivor = map.insertOrAssign(n * 7919, n);
  for (U32 i = 0; i < n; ++i) map.insert(i * 7919, i);
  EXPECT_TRUE(map.bucketCount() >= n && map.bucketCount() <= 4 * n);
  for (U32 i = 100; i < n; ++i) {
    ASSERT_TRUE(map.remove(i * 7919));
    ASSERT_LE(map.bucketCount(), std::max(4 * map.count(), 4u));
  }
  EXPECT_EQ(map.find(n * 7919), survivor);
  for (auto it = map.begin(); it; ++it) it.value() *= 2;
  auto it = map.begin();
  map.remove(it.key() == 0 ? 7919 : 0);
  EXPECT_EQ(it.value(), 2 * (it.key() / 7919));
  map.remove(it.key());
  EXPECT_DEATH((void)it.value(), "value\\(\\) of a member removed since");
  map.clear();
  EXPECT_FALSE(++it);
}

}  // namespace

// Qel/HashMap2018Test.cpp — Qel::HashMap2018 against a model, and its scans under change.
#include "Qel/HashMap2018.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <concepts>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Pondo/Node.h"
#include "Pondo/Ptr.h"
#include "Pondo/String.h"

namespace {

constexpr U32 kSeed = 0x5eed1234u;

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
  if constexpr (std::same_as<K, Pondo::String>) {
    return Pondo::String("member-" + std::to_string(id));
  } else if constexpr (std::same_as<K, U32>) {
    return id;
  } else {
    return K{id};
  }
}

template <class K>
U32 hashOf(const K& k) {
  return Qel::hashValue(k, kSeed);
}

struct ModelHash {
  template <class K>
  std::size_t operator()(const K& k) const {
    return hashOf(k);
  }
};

template <class K>
using Map = Qel::HashMap2018<K, U32>;
template <class K>
using Model = std::unordered_map<K, U32, ModelHash>;

/// The values (ids) of `map` in iteration order.
template <class K>
std::vector<U32> idsInOrder(const Map<K>& map) {
  std::vector<U32> ids;
  for (auto it = map.begin(); it; ++it) ids.push_back(it.value());
  return ids;
}

/// Iteration visits exactly the model's members, once each, in ascending hash.
template <class K>
void expectSameMembers(const Map<K>& map, const Model<K>& model) {
  Model<K> seen;
  U32 lastHash = 0;
  for (auto it = map.begin(); it; ++it) {
    ASSERT_LE(lastHash, hashOf(it.key())) << "out of hash order";
    lastHash = hashOf(it.key());
    auto m = model.find(it.key());
    ASSERT_NE(m, model.end()) << "a member the model lacks";
    EXPECT_EQ(it.value(), m->second);
    ASSERT_TRUE(seen.emplace(it.key(), 0).second) << "visited twice";
  }
  EXPECT_EQ(seen.size(), model.size());
  EXPECT_EQ(map.count(), model.size());
}

template <class K>
class HashMap2018KeysTest : public testing::Test {};
using KeyTypes = testing::Types<U32, Pondo::String, Clash, Unordered>;
TYPED_TEST_SUITE(HashMap2018KeysTest, KeyTypes);

// Random insertions, assignments, removals, takes and lookups agree with std::unordered_map,
// and the version changes exactly with the content.
TYPED_TEST(HashMap2018KeysTest, RandomOperationsMatchModel) {
  using K = TypeParam;
  for (U32 seed : {1u, 2u, 3u}) {
    std::mt19937 rng(seed);
    Map<K> map(kSeed);
    Model<K> model;
    for (int op = 0; op < 20000; ++op) {
      const K k = key<K>(rng() % 1500);
      const U32 v = rng();
      const U32 kind = rng() % 8;
      const bool draining = (op / 5000) % 2 == 1;  // alternate growing and shrinking phases
      const U32 before = map.version();
      bool changed = false;
      if (kind < 2 && !draining) {
        changed = model.emplace(k, v).second;
        ASSERT_EQ(map.insert(k, v), changed);
      } else if (kind == 2) {
        model[k] = v;
        ASSERT_EQ(*map.insertOrAssign(k, v), v);
        changed = true;
      } else if (kind < 4) {
        changed = model.erase(k) == 1;
        ASSERT_EQ(map.remove(k), changed);
      } else if (kind == 4) {
        auto m = model.find(k);
        std::optional<U32> taken = map.take(k);
        changed = m != model.end();
        ASSERT_EQ(taken.has_value(), changed);
        if (changed) {
          EXPECT_EQ(*taken, m->second);
          model.erase(m);
        }
      } else {
        auto m = model.find(k);
        const U32* found = map.find(k);
        ASSERT_EQ(found != nullptr, m != model.end());
        if (found) {
          EXPECT_EQ(*found, m->second);
        }
        EXPECT_EQ(map.contains(k), found != nullptr);
      }
      ASSERT_EQ(map.version() != before, changed);
      ASSERT_EQ(map.count(), model.size());
      if (op % 2500 == 0) expectSameMembers(map, model);
    }
    expectSameMembers(map, model);
  }
}

// Removing the current member through the map while iterating (every member, then every
// other one) still visits each member once and keeps exactly the others.
TYPED_TEST(HashMap2018KeysTest, RemovingCurrentMemberVisitsEachOnce) {
  using K = TypeParam;
  for (U32 stride : {1u, 2u}) {
    Map<K> map(kSeed);
    for (U32 i = 0; i < 3000; ++i) map.insert(key<K>(i), i);
    Model<K> visited, kept;
    U32 n = 0;
    for (auto it = map.begin(); it; ++it) {
      ASSERT_TRUE(visited.emplace(it.key(), 0).second) << "visited twice";
      if (n++ % stride == 0) {
        map.remove(it.key());
      } else {
        kept.emplace(it.key(), it.value());
      }
    }
    EXPECT_EQ(visited.size(), 3000u);
    expectSameMembers(map, kept);
  }
}

/// Scans 3000 members in runs of a few steps; between runs removes 3 members (often the
/// last visited one) and adds 3 new ones. Resumes with the held iterator or from the key of
/// the last visited member. Counts the visits per id and marks the first 3000 ids removed.
template <class K>
void scanWithChurn(bool fromBookmark, std::map<U32, int>& visits, std::vector<bool>& removed) {
  std::mt19937 rng(fromBookmark ? 11 : 12);
  Map<K> map(kSeed);
  std::vector<U32> present;
  for (U32 i = 0; i < 3000; ++i) {
    map.insert(key<K>(i), i);
    present.push_back(i);
  }
  removed.assign(3000, false);
  auto drop = [&](std::size_t at) {
    const U32 id = present[at];
    ASSERT_TRUE(map.remove(key<K>(id)));
    if (id < removed.size()) removed[id] = true;
    present[at] = present.back();
    present.pop_back();
  };
  U32 nextId = 3000, runs = 0;
  auto it = map.begin();
  while (it) {
    ++visits[it.value()];
    if (rng() % 5 != 0) {
      ++it;
      continue;
    }
    ASSERT_LT(++runs, 20000u) << "the scan does not progress";
    const K last = it.key();
    if (rng() % 2 == 0) {
      drop(std::find(present.begin(), present.end(), it.value()) - present.begin());
    }
    for (int i = 0; i < 3; ++i) drop(rng() % present.size());
    for (int i = 0; i < 3; ++i, ++nextId) {
      map.insert(key<K>(nextId), nextId);
      present.push_back(nextId);
    }
    if (!fromBookmark) {
      ++it;
      continue;
    }
    it = map.iteratorFrom(last);
    if (it && it.key() == last) ++it;
  }
}

// A scan whose runs are separated by removals (of the current member too) and insertions
// visits every member present throughout, and none twice.
TYPED_TEST(HashMap2018KeysTest, HeldIteratorSurvivesChanges) {
  std::map<U32, int> visits;
  std::vector<bool> removed;
  scanWithChurn<TypeParam>(false, visits, removed);
  for (U32 id = 0; id < removed.size(); ++id) {
    if (!removed[id]) {
      EXPECT_TRUE(visits.contains(id)) << "member " << id;
    }
  }
  for (auto [id, n] : visits) EXPECT_EQ(n, 1) << "member " << id;
}

// Resuming from the key of the last visited member, which may have left the map meanwhile,
// skips no member present throughout; with ordered keys it revisits none either.
TYPED_TEST(HashMap2018KeysTest, ResumeFromRemovedBookmarkSkipsNothing) {
  std::map<U32, int> visits;
  std::vector<bool> removed;
  scanWithChurn<TypeParam>(true, visits, removed);
  for (U32 id = 0; id < removed.size(); ++id) {
    if (!removed[id]) {
      EXPECT_TRUE(visits.contains(id)) << "member " << id;
    }
  }
  if constexpr (std::totally_ordered<TypeParam>) {
    for (auto [id, n] : visits) EXPECT_EQ(n, 1) << "member " << id;
  }
}

// The order does not change when the table grows and shrinks, and (for ordered keys) does
// not depend on the insertion order or on removals and re-insertions.
TYPED_TEST(HashMap2018KeysTest, OrderIgnoresTableSizeAndHistory) {
  using K = TypeParam;
  constexpr U32 n = 1500;
  Map<K> forward(kSeed), resized(kSeed), backward(kSeed);
  for (U32 i = 0; i < n; ++i) forward.insert(key<K>(i), i);
  for (U32 i = 0; i < 4 * n; ++i) resized.insert(key<K>(i), i);
  for (U32 i = n; i < 4 * n; ++i) resized.remove(key<K>(i));
  for (U32 i = 4 * n; i-- > 0;) backward.insert(key<K>(i), i);
  for (U32 i = n; i < 4 * n; ++i) backward.remove(key<K>(i));
  for (U32 i = 0; i < n; i += 3) backward.remove(key<K>(i));
  for (U32 i = 0; i < n; i += 3) backward.insert(key<K>(i), i);
  const std::vector<U32> order = idsInOrder(forward);
  EXPECT_EQ(idsInOrder(resized), order);
  if constexpr (std::totally_ordered<K>) {
    EXPECT_EQ(idsInOrder(backward), order);
  }
}

// iteratorFrom starts at a present key; for an absent one at the first member after its
// place (keys without `<`: the first member of its hash or after).
TYPED_TEST(HashMap2018KeysTest, IteratorFromStartsAtKeyOrSuccessor) {
  using K = TypeParam;
  Map<K> map(kSeed);
  EXPECT_FALSE(map.iteratorFrom(key<K>(0)));
  for (U32 i = 0; i < 3000; i += 2) map.insert(key<K>(i), i);
  std::vector<K> order;
  for (auto it = map.begin(); it; ++it) order.push_back(it.key());
  for (U32 i = 0; i < 3000; ++i) {
    const K k = key<K>(i);
    auto it = map.iteratorFrom(k);
    if (i % 2 == 0) {
      ASSERT_TRUE(it);
      EXPECT_EQ(it.value(), i);
      continue;
    }
    auto after = std::find_if(order.begin(), order.end(), [&](const K& m) {
      if (hashOf(m) != hashOf(k)) return hashOf(m) > hashOf(k);
      if constexpr (std::totally_ordered<K>) return k < m;
      return true;
    });
    ASSERT_EQ(bool(it), after != order.end()) << "id " << i;
    if (it) {
      EXPECT_TRUE(it.key() == *after) << "id " << i;
    }
  }
}

// The version starts at 1 and changes with insertion, replacement, removal and clearing of
// members, and with nothing else.
TEST(HashMap2018Test, VersionChangesWithContentOnly) {
  Qel::HashMap2018<U32, U32> map(kSeed);
  EXPECT_EQ(map.version(), 1u);
  map.clear();
  EXPECT_EQ(map.version(), 1u);
  U32 v = map.version();
  auto changed = [&] {
    const U32 old = std::exchange(v, map.version());
    return old != v;
  };
  EXPECT_TRUE(map.insert(1, 10) && changed());
  EXPECT_TRUE(!map.insert(1, 11) && !changed());
  EXPECT_TRUE(map.find(1) && map.contains(1) && map.begin() && map.iteratorFrom(1) && !changed());
  EXPECT_TRUE(*map.insertOrAssign(1, 12) == 12 && changed());
  EXPECT_TRUE(!map.remove(2) && !map.take(2) && !changed());
  EXPECT_TRUE(map.take(1) == 12u && changed());
  EXPECT_TRUE(map.insert(2, 20) && changed());
  EXPECT_TRUE(map.remove(2) && changed());
  map.insert(3, 30);
  changed();
  map.clear();
  EXPECT_TRUE(changed() && map.empty());
}

// The set form keeps keys only, with the same insertion, removal and iteration rules.
TEST(HashMap2018Test, SetHoldsKeys) {
  Qel::HashMap2018<U64> set(kSeed);
  static_assert(sizeof(Qel::HashMap2018<U64>::Node) <= 24, "a set member is link, hash, key");
  for (U64 i = 0; i < 1000; ++i) EXPECT_TRUE(set.insert(i << 40));
  EXPECT_FALSE(set.insert(U64{5} << 40));
  EXPECT_TRUE(set.contains(U64{999} << 40));
  EXPECT_FALSE(set.contains(999));
  U32 seen = 0;
  for (auto it = set.begin(); it; ++it, ++seen) {
    if (seen % 2) set.remove(it.key());
  }
  EXPECT_EQ(seen, 1000u);
  EXPECT_EQ(set.count(), 500u);
}

struct Probe : Pondo::Node {
  explicit Probe(int n) : n(n) { ++live; }
  ~Probe() override { --live; }
  static inline int live = 0;
  int n;
};

// Counted values are released by remove, replacement, clear and destruction, handed over by
// take, and no node outlives the map.
TEST(HashMap2018Test, PtrValuesAreReleased) {
  using ProbeMap = Qel::HashMap2018<Pondo::String, Pondo::Ptr<Probe>>;
  static_assert(sizeof(ProbeMap::Node) <= 32, "a member is link, hash, key, value");
  const U64 nodesBefore = ProbeMap::Node::memAllocationTracker_.liveObjects;
  {
    ProbeMap map(kSeed);
    for (int i = 0; i < 100; ++i) map.insert(key<Pondo::String>(i), Pondo::make<Probe>(i));
    EXPECT_EQ(Probe::live, 100);
    map.remove(key<Pondo::String>(0));
    map.insertOrAssign(key<Pondo::String>(1), Pondo::make<Probe>(-1));
    EXPECT_EQ(Probe::live, 99);
    std::optional<Pondo::Ptr<Probe>> taken = map.take(key<Pondo::String>(2));
    EXPECT_EQ(Probe::live, 99);
    EXPECT_EQ((*taken)->n, 2);
    taken.reset();
    EXPECT_EQ(Probe::live, 98);
    map.clear();
    EXPECT_EQ(Probe::live, 0);
    EXPECT_EQ(ProbeMap::Node::memAllocationTracker_.liveObjects, nodesBefore);
    for (int i = 0; i < 10; ++i) map.insert(key<Pondo::String>(i), Pondo::make<Probe>(i));
  }
  EXPECT_EQ(Probe::live, 0);
  EXPECT_EQ(ProbeMap::Node::memAllocationTracker_.liveObjects, nodesBefore);
}

struct Chain;
using ChainMap = Qel::HashMap2018<U32, Pondo::Ptr<Chain>>;
/// Removes the next key from its map when released.
struct Chain : Pondo::Node {
  Chain(ChainMap& map, U32 next) : map(map), next(next) {}
  ~Chain() override { map.remove(next); }
  ChainMap& map;
  U32 next;
};

// A value's destructor may remove other members of the same map during remove, clear and
// destruction.
TEST(HashMap2018Test, ValueDestructorMayReenter) {
  for (int how = 0; how < 3; ++how) {
    auto map = std::make_unique<ChainMap>(kSeed);
    for (U32 i = 0; i < 200; ++i) map->insert(i, Pondo::make<Chain>(*map, i + 1));
    if (how == 0) {
      map->remove(100);  // releases 100, which removes 101, ...
      EXPECT_EQ(map->count(), 100u);
    }
    if (how == 1) {
      map->clear();
      EXPECT_TRUE(map->empty() && !map->begin());
    }
    map.reset();
  }
  EXPECT_EQ(ChainMap::Node::memAllocationTracker_.liveObjects, 0u);
}

// The table grows to 200k members and back, keeping the load between 1/4 and 1 and never
// moving a value.
TEST(HashMap2018Test, GrowsTo200kAndShrinksBack) {
  Qel::HashMap2018<U32, U32> map(kSeed);
  constexpr U32 n = 200'000;
  const U32* survivor = map.insertOrAssign((n - 1) * 7919, n - 1);
  for (U32 i = 0; i < n - 1; ++i) map.insert(i * 7919, i);
  EXPECT_EQ(map.count(), n);
  EXPECT_GE(map.bucketCount(), n);
  EXPECT_LE(map.bucketCount(), 4 * n);
  for (U32 i = 0; i < n; ++i) ASSERT_EQ(*map.find(i * 7919), i);
  for (U32 i = 0; i < n - 100; ++i) {
    ASSERT_TRUE(map.remove(i * 7919));
    ASSERT_LE(map.bucketCount(), std::max(4 * map.count(), 4u));
  }
  EXPECT_GE(map.bucketCount(), map.count());
  EXPECT_EQ(map.find((n - 1) * 7919), survivor);
  U32 seen = 0;
  for (auto it = map.begin(); it; ++it) seen += it.value() >= n - 100;
  EXPECT_EQ(seen, 100u);
}

// A reserved map holds that many members without growing or shrinking, in the same order as an
// unreserved one.
TEST(HashMap2018Test, ReserveSizesOnce) {
  Qel::HashMap2018<U32> reserved(kSeed), grown(kSeed);
  reserved.reserve(5000);
  const U32 buckets = reserved.bucketCount();
  EXPECT_GE(buckets, 5000u);
  for (U32 i = 0; i < 5000; ++i) {
    reserved.insert(i * 31);
    grown.insert(i * 31);
  }
  EXPECT_EQ(reserved.bucketCount(), buckets);
  auto a = reserved.begin();
  for (auto b = grown.begin(); b; ++a, ++b) ASSERT_EQ(a.key(), b.key());
  EXPECT_TRUE(a.atEnd());
  for (U32 i = 0; i < 4990; ++i) reserved.remove(i * 31);
  EXPECT_EQ(reserved.bucketCount(), buckets);
  reserved.clear();
  EXPECT_EQ(reserved.bucketCount(), 0u);
}

// A mutable iterator writes values; after a change value() finds its member again; clearing
// the map ends a scan; value() of a member removed since stops the process.
TEST(HashMap2018Test, IteratorValueAcrossChanges) {
  Qel::HashMap2018<U32, U32> map(kSeed);
  for (U32 i = 0; i < 100; ++i) map.insert(i, i);
  for (auto it = map.begin(); it; ++it) it.value() *= 2;
  EXPECT_EQ(*map.find(7), 14u);
  auto it = map.begin();
  for (U32 i = 0; i < 100; ++i) {
    if (i != it.key()) map.remove(i);
  }
  map.insert(1000, 1);
  EXPECT_EQ(it.value(), 2 * it.key());
  const U32 current = it.key();
  map.remove(current);
  EXPECT_DEATH((void)it.value(), "value\\(\\) of a member removed since");
  map.clear();
  EXPECT_FALSE(++it);
}

}  // namespace

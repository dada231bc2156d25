// Qel/RbTreeMapTest.cpp — tests of Qel::RbTreeMap and of its red-black algorithm on bare nodes.
///
/// Order and balance against std::map, ownership (one reference per member, counted by the
/// rows' live counter), the iterator version rule, and the fatal misuses.
#include "Qel/RbTreeMap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <vector>

namespace {

/// A table row that counts live instances, so that leaks and early frees show.
struct Row : Pondo::Node {
  explicit Row(int k) : key(k) { ++live; }
  ~Row() override {
    --live;
    if (onFree) onFree(key);
  }
  static Qel::RbTreeLinks<Row>& rbLinks(Row& r) { return r.links; }
  static const Qel::RbTreeLinks<Row>& rbLinks(const Row& r) { return r.links; }
  static int rbKey(const Row& r) { return r.key; }

  static inline int live = 0;
  static inline std::function<void(int key)> onFree;
  int key;
  Qel::RbTreeLinks<Row> links;
};

using Map = Qel::RbTreeMap<Row, int, Row>;
using RowPtr = Pondo::Ptr<Row>;
using Keys = std::vector<int>;

/// The layout the collection is built for: node, key, status pointer and links in 56 bytes.
struct TableRow : Pondo::Node {
  U64 key;
  Pondo::Ptr<Pondo::Node> status;
  Qel::RbTreeLinks<TableRow> links;
};
static_assert(sizeof(TableRow) == 56, "the links must stay three words");
static_assert(sizeof(Map) == 16, "a collection is its root, version and count");

RowPtr row(int key) { return Pondo::make<Row>(key); }
int keyOf(const Row* r) { return r ? r->key : -1; }
bool detached(const Row& r) { return !r.links.parentAndColour && !r.links.left && !r.links.right; }

Keys walkFrom(Map::Iterator it) {
  Keys out;
  for (; it; ++it) out.push_back(it->key);
  return out;
}
Keys keysOf(const Map& map) { return walkFrom(map.begin()); }
Keys keysOf(const std::map<int, Row*>& model) {
  Keys out;
  for (const auto& [key, r] : model) out.push_back(key);
  return out;
}
Row* orNull(std::map<int, Row*>::const_iterator at, const std::map<int, Row*>& model) {
  return at == model.end() ? nullptr : at->second;
}

class RbTreeMapTest : public ::testing::Test {
 protected:
  void SetUp() override { Row::live = 0; }
  void TearDown() override {
    Row::onFree = nullptr;
    EXPECT_EQ(map.checkInvariants(), "");
    map.clear();
    EXPECT_EQ(Row::live, 0) << "rows outlived their last reference";
  }
  void fill(std::initializer_list<int> keys) {
    for (int k : keys) map.insert(row(k));
  }
  /// Inserts `key` if absent, else removes it; returns whether it inserted.
  bool toggle(int key, std::map<int, Row*>& model) {
    if (Row* r = map[key]) {
      map.remove(*r);
      model.erase(key);
      return false;
    }
    model[key] = &map.insert(row(key));
    return true;
  }

  Map map;
};
using RbTreeMapDeathTest = RbTreeMapTest;

// Random changes over a small key range agree with std::map, lookups and walk included; every
// removal hands back the tree's only reference with cleared links; the tree stays sound.
TEST_F(RbTreeMapTest, RandomChangesMatchStdMap) {
  for (unsigned seed : {1u, 2u, 3u}) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> keys(0, 999);
    std::map<int, Row*> model;
    for (int op = 0; op < 20000; ++op) {
      const int key = keys(rng), probe = keys(rng);
      if (Row* r = map[key]) {
        ASSERT_EQ(r, model.at(key));
        const RowPtr out = map.remove(*r);
        ASSERT_EQ(out->references(), 1u);
        ASSERT_TRUE(detached(*out));
        model.erase(key);
      } else {
        model[key] = &map.insert(row(key));
      }
      ASSERT_EQ(map.checkInvariants(), "") << "seed " << seed << ", operation " << op;
      ASSERT_EQ(map.count(), model.size());
      ASSERT_EQ(map.findElementOrNext(probe), orNull(model.lower_bound(probe), model));
      ASSERT_EQ(map.findElementAfter(probe), orNull(model.upper_bound(probe), model));
    }
    ASSERT_EQ(keysOf(map), keysOf(model));
    map.clear();
  }
}

// The lookups in an empty collection and past its smallest and largest keys.
TEST_F(RbTreeMapTest, FindAtBoundaries) {
  EXPECT_EQ(map.findElementOrNext(0), nullptr);
  EXPECT_EQ(map.findElementAfter(INT_MIN), nullptr);
  EXPECT_TRUE(map.begin().atEnd());
  fill({20, 10, 30});
  EXPECT_EQ(keyOf(map.findElementOrNext(INT_MIN)), 10);
  EXPECT_EQ(map.findElementOrNext(31), nullptr);
  EXPECT_EQ(map.findElementAfter(30), nullptr);
  EXPECT_EQ(keyOf(map.iteratorAt(21).member()), 30);
  EXPECT_TRUE(map.iteratorAt(INT_MAX).atEnd());
}

// lookupForInsert reports a present key; for an absent one, insertAt puts it there in order.
TEST_F(RbTreeMapTest, LookupForInsertThenInsertAt) {
  fill({10, 30});
  EXPECT_EQ(map.lookupForInsert(30).found, map[30]);
  const Map::InsertPosition at = map.lookupForInsert(20);
  ASSERT_EQ(at.found, nullptr);
  Row& inserted = map.insertAt(at, row(20));
  EXPECT_EQ(&inserted, map[20]);
  EXPECT_EQ(keysOf(map), (Keys{10, 20, 30}));
}

// The version starts at 1 and changes with each insertion, each removal and a clear of a
// non-empty collection, never with lookups or walks.
TEST_F(RbTreeMapTest, VersionChangesOnInsertAndRemoveOnly) {
  map.clear();
  EXPECT_EQ(map.version(), 1u);
  fill({1, 2, 3});
  (void)map.findElementAfter(2);
  (void)map.lookupForInsert(7);
  (void)keysOf(map);
  EXPECT_EQ(map.version(), 4u);
  map.remove(*map[2]);
  EXPECT_EQ(map.version(), 5u);
  map.clear();
  EXPECT_EQ(map.version(), 6u);
}

// Removed members live while an iterator or the caller holds them. A cursor left behind by
// changes, its own member removed and its key re-inserted as a new member, re-finds its
// place, skips the removed next member, records the current version and frees its old one.
TEST_F(RbTreeMapTest, StaleIteratorRefindsItsPlace) {
  fill({10, 20, 30, 40});
  Map::Iterator it = map.iteratorAt(20);
  map.remove(*it);
  RowPtr held = map.remove(*map[30]);
  EXPECT_EQ(it->references(), 1u);
  EXPECT_EQ(held->references(), 1u);
  fill({20, 22});
  EXPECT_EQ(Row::live, 6);
  ++it;
  EXPECT_EQ(Row::live, 5);
  EXPECT_EQ(it.version(), map.version());
  EXPECT_EQ(walkFrom(it), (Keys{22, 40}));
  held.reset();
  EXPECT_EQ(Row::live, 4);
}

// Members inserted behind the cursor are visited, those before it not; a past-the-end
// iterator stays there even when greater keys arrive.
TEST_F(RbTreeMapTest, InsertionsAroundTheCursor) {
  fill({10, 20, 30});
  Map::Iterator it = map.iteratorAt(20);
  Map::Iterator end = map.iteratorAt(31);
  fill({5, 15, 25, 35});
  EXPECT_EQ(walkFrom(it), (Keys{20, 25, 30, 35}));
  ++end;
  EXPECT_TRUE(end.atEnd());
  EXPECT_EQ(end, map.end());
}

// A walk with random changes at each step, the cursor's own member removed now and then,
// reaches keys in increasing order, each a member when reached, and every member present
// throughout the walk.
TEST_F(RbTreeMapTest, WalkUnderRandomChangesVisitsEveryStableMember) {
  for (unsigned seed : {11u, 12u, 13u}) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> keys(0, 1999);
    std::map<int, Row*> model;
    for (int i = 0; i < 2000; ++i) toggle(keys(rng), model);
    const Keys before = keysOf(model);
    std::set<int> stable(before.begin(), before.end());
    Keys visited;
    for (Map::Iterator it = map.begin(); it; ++it) {
      ASSERT_EQ(map[it->key], it.member());
      ASSERT_TRUE(visited.empty() || visited.back() < it->key);
      visited.push_back(it->key);
      for (int c = 0; c < 3; ++c) {
        const int key = keys(rng);
        if (!toggle(key, model)) stable.erase(key);
      }
      if (visited.size() % 5 == 0 && map[it->key]) {
        stable.erase(it->key);
        toggle(it->key, model);
      }
    }
    for (int key : stable) ASSERT_TRUE(std::binary_search(visited.begin(), visited.end(), key));
    ASSERT_EQ(map.checkInvariants(), "");
    map.clear();
  }
}

// The step records the version before dropping its old member, whose release may change the
// collection: here it removes the member the iterator has just reached.
TEST_F(RbTreeMapTest, ReleaseDuringStepMayChangeTheCollection) {
  fill({10, 20, 30, 40});
  Map::Iterator it = map.iteratorAt(20);
  map.remove(*map[20]);
  Row::onFree = [this](int key) {
    if (key == 20) map.remove(*map[30]);
  };
  ++it;
  EXPECT_EQ(it->key, 30);
  EXPECT_EQ(map[30], nullptr);
  ++it;
  EXPECT_EQ(it->key, 40);
}

// Destroying the collection frees its members; one still held elsewhere survives with
// cleared links and only the holder's reference.
TEST_F(RbTreeMapTest, DestructorReleasesMembers) {
  RowPtr held;
  {
    Map local;
    for (int k = 0; k < 1000; ++k) local.insert(row(k));
    held = RowPtr(local[500]);
  }
  EXPECT_EQ(Row::live, 1);
  EXPECT_TRUE(detached(*held));
  EXPECT_EQ(held->references(), 1u);
}

// clear() empties the collection before releasing members, so a released member sees it
// empty; an iterator on a cleared member then steps past the end.
TEST_F(RbTreeMapTest, ClearReleasesMembersOfAnEmptyCollection) {
  fill({10, 20, 30, 40});
  Map::Iterator it = map.iteratorAt(10);
  std::vector<bool> sawEmpty;
  Row::onFree = [&](int) { sawEmpty.push_back(map.empty() && !map.first()); };
  map.clear();
  EXPECT_EQ(sawEmpty, (std::vector<bool>{true, true, true}));
  EXPECT_TRUE(detached(*it));
  ++it;
  EXPECT_TRUE(it.atEnd());
  EXPECT_EQ(sawEmpty.size(), 4u);
}

// Inserting a present key, a member of another collection (its root or not), or at an insert
// position taken by an insertion made since, and removing another collection's root or a
// member of none, stop the process.
TEST_F(RbTreeMapDeathTest, MisuseDies) {
  Map other;
  other.insert(row(1));
  other.insert(row(2));
  fill({10});
  const Map::InsertPosition at = map.lookupForInsert(20);
  fill({15});
  EXPECT_DEATH(map.insert(row(15)), "already present");
  EXPECT_DEATH(map.insert(RowPtr(other[1])), "already in a collection");
  EXPECT_DEATH(map.insert(RowPtr(other[2])), "already in a collection");
  EXPECT_DEATH(map.insertAt(at, row(20)), "stale");
  EXPECT_DEATH(map.remove(*other[1]), "not a member of this collection");
  const RowPtr loose = row(7);
  EXPECT_DEATH(map.remove(*loose), "not a member of this collection");
}

/// A bare node: links and a value, no key hook.
struct Bare : Pondo::Node {
  explicit Bare(int v) : value(v) {}
  static Qel::RbTreeLinks<Bare>& rbLinks(Bare& b) { return b.links; }
  static const Qel::RbTreeLinks<Bare>& rbLinks(const Bare& b) { return b.links; }
  int value;
  Qel::RbTreeLinks<Bare> links;
};
using BareTraits = Qel::RbTreeNodeTraits<Bare, Bare>;
using Algorithm = Qel::RbTreeAlgorithm<BareTraits>;
using Qel::RbSide;

std::string checkBare(const Pondo::Ptr<Bare>& root, U32 count) {
  const auto less = [](const Bare& a, const Bare& b) { return a.value < b.value; };
  return Algorithm::check(root, count, less);
}
int height(const Bare* n) {
  return n ? 1 + std::max(height(n->links.left.get()), height(n->links.right.get())) : 0;
}
Bare& insertBare(Pondo::Ptr<Bare>& root, Bare* parent, RbSide side, int value) {
  return Algorithm::insert(root, parent, side, Pondo::make<Bare>(value));
}

// Runs linked always at the rightmost and leftmost place, the worst case for an unbalanced
// tree, stay within the red-black height bound; erasing the root again and again keeps the
// tree sound and hands back sole references.
TEST(RbTreeAlgorithmTest, SortedRunsStayBalanced) {
  Pondo::Ptr<Bare> root;
  constexpr int run = 1000;
  Bare* last = &insertBare(root, nullptr, RbSide::left, 0);
  for (int v = 1; v < run; ++v) last = &insertBare(root, last, RbSide::right, v);
  Bare* least = Algorithm::first(root);
  for (int v = -1; v > -run; --v) least = &insertBare(root, least, RbSide::left, v);
  U32 count = 2 * run - 1;
  ASSERT_EQ(checkBare(root, count), "");
  EXPECT_LE(height(root.get()), 2 * std::log2(count + 1));
  while (root) {
    const Pondo::Ptr<Bare> out = Algorithm::erase(root, *root);
    ASSERT_EQ(out->references(), 1u);
    ASSERT_EQ(out->links.parentAndColour, 0u);
    ASSERT_EQ(checkBare(root, --count), "");
  }
}

}  // namespace

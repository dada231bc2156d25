// Qel/RbTreeMapTest.cpp — Qel::RbTreeMap against std::map, its ownership and iterator rules.
///
/// Rows count their live instances, so a leak or an early free shows; the fixture checks the
/// red-black invariants and that no row outlives the collection after every case.
#include "Qel/RbTreeMap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <vector>

namespace {

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
using Model = std::map<int, Row*>;

/// The layout the collection is built for: node, key, status pointer and links in 56 bytes.
struct TableRow : Pondo::Node {
  U64 key;
  Pondo::Ptr<Pondo::Node> status;
  Qel::RbTreeLinks<TableRow> links;
};
static_assert(sizeof(TableRow) == 56, "the links must stay three words");
static_assert(sizeof(Map) == 16, "a collection is its root, version and count");

RowPtr row(int key) { return Pondo::make<Row>(key); }
bool detached(const Row& r) { return !r.links.parentAndColour && !r.links.left && !r.links.right; }
Keys walkFrom(Map::Iterator it) {
  Keys out;
  for (; it; ++it) out.push_back(it->key);
  return out;
}
Row* orNull(Model::const_iterator at, const Model& model) {
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
  /// Inserts `key` if absent (odd keys by lookupForInsert and insertAt), else removes it,
  /// checking the row comes back detached, with the only reference unless `held` elsewhere.
  bool toggle(int key, Model& model, bool held = false) {
    if (Row* r = map[key]) {
      EXPECT_EQ(r, model.at(key));
      const RowPtr out = map.remove(*r);
      EXPECT_TRUE((held || out->references() == 1u) && detached(*out)) << key;
      model.erase(key);
      return false;
    }
    const Map::InsertPosition at = map.lookupForInsert(key);
    EXPECT_EQ(at.found, nullptr);
    model[key] = key % 2 ? &map.insertAt(at, row(key)) : &map.insert(row(key));
    return true;
  }

  Map map;
};
using RbTreeMapDeathTest = RbTreeMapTest;

// Random changes over a small key range agree with std::map: count, walk and every lookup,
// empty tree and both ends included; each change bumps the version (from 1) exactly once,
// lookups never; the tree is sound after every change.
TEST_F(RbTreeMapTest, RandomChangesMatchStdMap) {
  EXPECT_EQ(map.version(), 1u);
  for (unsigned seed : {1u, 2u, 3u}) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> keys(0, 999), probes(-1, 1000);
    Model model;
    for (int op = 0; op < 20000; ++op) {
      const int probe = probes(rng);
      const auto version = map.version();
      toggle(keys(rng), model);
      ASSERT_EQ(map.version(), version + 1);
      ASSERT_EQ(map.checkInvariants(), "") << "seed " << seed << ", operation " << op;
      ASSERT_EQ(map.count(), model.size());
      ASSERT_EQ(map.findElementOrNext(probe), orNull(model.lower_bound(probe), model));
      ASSERT_EQ(map.iteratorAt(probe).member(), orNull(model.lower_bound(probe), model));
      ASSERT_EQ(map.findElementAfter(probe), orNull(model.upper_bound(probe), model));
      ASSERT_EQ(map.lookupForInsert(probe).found, map[probe]);
      ASSERT_EQ(map[probe], model.contains(probe) ? model[probe] : nullptr);
    }
    Keys expected;
    for (const auto& [key, r] : model) expected.push_back(key);
    ASSERT_EQ(walkFrom(map.begin()), expected);
    map.clear();
  }
}

// A cursor left behind by changes re-finds its place: its own member removed and its key
// re-inserted, the next member removed, keys inserted before and behind it. Removed members
// live while held; a step records the current version before freeing its old member, whose
// release may change the collection; a past-the-end cursor stays there.
TEST_F(RbTreeMapTest, StaleIteratorRefindsItsPlace) {
  fill({10, 20, 30, 40});
  Map::Iterator it = map.iteratorAt(20), end = map.iteratorAt(41);
  map.remove(*it);
  RowPtr held = map.remove(*map[30]);
  EXPECT_EQ(it->references(), 1u);
  EXPECT_EQ(held->references(), 1u);
  fill({5, 20, 22, 50});
  EXPECT_EQ(Row::live, 8);
  ++it;
  EXPECT_EQ(it->key, 22);
  EXPECT_EQ(Row::live, 7);
  EXPECT_EQ(it.version(), map.version());
  held.reset();
  EXPECT_EQ(Row::live, 6);
  map.remove(*it);
  Row::onFree = [this](int key) {
    if (key == 22) map.remove(*map[40]);
  };
  ++it;
  EXPECT_EQ(it->key, 40);
  EXPECT_EQ(map[40], nullptr);
  EXPECT_EQ(walkFrom(it), (Keys{40, 50}));
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
    Model model;
    for (int i = 0; i < 2000; ++i) toggle(keys(rng), model);
    std::set<int> stable;
    for (const auto& [key, r] : model) stable.insert(key);
    Keys visited;
    for (Map::Iterator it = map.begin(); it; ++it) {
      ASSERT_EQ(map[it->key], it.member());
      ASSERT_TRUE(visited.empty() || visited.back() < it->key);
      visited.push_back(it->key);
      for (int c = 0; c < 3; ++c) {
        const int key = keys(rng);
        if (!toggle(key, model, true)) stable.erase(key);
      }
      if (visited.size() % 5 == 0 && map[it->key]) {
        stable.erase(it->key);
        toggle(it->key, model, true);
      }
    }
    for (int key : stable) ASSERT_TRUE(std::binary_search(visited.begin(), visited.end(), key));
    ASSERT_EQ(map.checkInvariants(), "");
    map.clear();
  }
}

// Destruction and clear() free the members, clear() with the collection already empty when
// each is released and one version bump (none when empty); a member held elsewhere survives
// detached with its holder's reference only, and an iterator on it steps past the end.
TEST_F(RbTreeMapTest, ClearAndDestructionReleaseMembers) {
  RowPtr held;
  {
    Map local;
    for (int k = 0; k < 1000; ++k) local.insert(row(k));
    held = RowPtr(local[500]);
  }
  EXPECT_EQ(Row::live, 1);
  EXPECT_TRUE(detached(*held) && held->references() == 1u);
  fill({10, 20, 30});
  Map::Iterator it = map.iteratorAt(10);
  std::vector<bool> sawEmpty;
  Row::onFree = [&](int) { sawEmpty.push_back(map.empty() && !map.first()); };
  const auto version = map.version();
  map.clear();
  map.clear();
  EXPECT_EQ(map.version(), version + 1);
  EXPECT_EQ(sawEmpty, (std::vector<bool>{true, true}));
  EXPECT_TRUE(detached(*it));
  ++it;
  EXPECT_TRUE(it.atEnd());
  EXPECT_EQ(sawEmpty.size(), 3u);
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

}  // namespace

// Qel::RbTreeMap against std::map, its ownership and iterator rules. After every case the
// fixture checks the red-black invariants and that no row outlives its last reference.
#include "Qel/RbTreeMap.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <tuple>
#include <vector>

namespace {

struct Row : Pondo::Node {
  explicit Row(int k) : key(k) { ++live; }
  ~Row() override { --live, onFree ? onFree(key) : void(); }
  static auto& rbLinks(auto& r) { return r.links; }
  static int rbKey(const Row& r) { return r.key; }
  static inline int live = 0;
  static inline std::function<void(int key)> onFree;
  int key;
  Qel::RbTreeLinks<Row> links;
};
using Map = Qel::RbTreeMap<Row, int, Row>;
using RowPtr = Pondo::Ptr<Row>;
using Keys = std::vector<int>;
static_assert(sizeof(Qel::RbTreeLinks<Row>) == 24, "the links must stay three words");
static_assert(sizeof(Map) == 16, "a collection is its root, version and count");

RowPtr row(int key) { return Pondo::make<Row>(key); }
bool detached(const Row& r) { return !r.links.parentAndColour && !r.links.left && !r.links.right; }
Keys walkFrom(Map::Iterator it) {
  Keys out;
  for (; it; ++it) out.push_back(it->key);
  return out;
}

class RbTreeMapTest : public ::testing::Test {
 protected:
  void TearDown() override {
    Row::onFree = nullptr;
    EXPECT_EQ(map.checkInvariants(), "");
    map.clear();
    EXPECT_EQ(Row::live, 0) << "rows outlived their last reference";
  }
  void fill(std::initializer_list<int> keys) {
    for (int k : keys) map.insert(row(k));
  }
  Map map;
};
using RbTreeMapDeathTest = RbTreeMapTest;

// Random insertions (odd keys via lookupForInsert/insertAt) and removals agree with std::map
// in every lookup, bump the version once each and keep the tree sound; a cursor stepped once
// per change reaches the model's next key; a removed row comes back detached.
TEST_F(RbTreeMapTest, RandomChangesMatchStdMap) {
  EXPECT_EQ(map.version(), 1u);
  for (unsigned seed : {1u, 2u, 3u}) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> keys(0, 999), probes(-1, 1000);
    std::map<int, Row*> model;
    const auto orNull = [&](auto at) { return at == model.end() ? nullptr : at->second; };
    Map::Iterator cursor = map.end();
    int last = -1;
    for (int op = 0; op < 20000; ++op) {
      const int key = keys(rng), probe = probes(rng);
      const auto version = map.version();
      if (Row* r = map[key]) {
        ASSERT_EQ(r, model.at(key));
        const RowPtr out = map.remove(*r);
        ASSERT_TRUE(detached(*out));
        ASSERT_EQ(out->references(), cursor.member() == r ? 2u : 1u);
        model.erase(key);
      } else if (key % 2) {
        const Map::InsertPosition at = map.lookupForInsert(key);
        ASSERT_EQ(at.found, nullptr);
        model[key] = &map.insertAt(at, row(key));
      } else {
        model[key] = &map.insert(row(key));
      }
      ASSERT_EQ(map.checkInvariants(), "") << "seed " << seed << ", operation " << op;
      Row *next = orNull(model.lower_bound(probe)), *exact = model.contains(probe) ? next : nullptr;
      ASSERT_EQ(std::tuple(map.version(), map.count(), map.findElementOrNext(probe),
                           map.iteratorAt(probe).member(), map.findElementAfter(probe),
                           map.lookupForInsert(probe).found, map[probe]),
                std::tuple(version + 1, model.size(), next, next, orNull(model.upper_bound(probe)),
                           exact, exact));
      if (cursor.atEnd()) {
        cursor = map.begin(), last = -1;
      } else {
        ++cursor;
      }
      ASSERT_EQ(cursor.member(), orNull(model.upper_bound(last))) << "after " << last;
      if (cursor) last = cursor->key;
    }
    cursor = map.end();
    map.clear();
  }
}

// A stale cursor re-finds its place after removals and insertions around it; removed rows
// live while held; a step records the version before its old row's release changes the map.
TEST_F(RbTreeMapTest, StaleIteratorRefindsItsPlace) {
  fill({10, 20, 30, 40});
  Map::Iterator it = map.iteratorAt(20), end = map.iteratorAt(41);
  map.remove(*it);
  RowPtr held = map.remove(*map[30]);
  EXPECT_TRUE(it->references() == 1u && held->references() == 1u);
  fill({5, 20, 22, 50});
  EXPECT_EQ(Row::live, 8);
  ++it;
  EXPECT_EQ(std::tuple(it->key, Row::live, it.version()), std::tuple(22, 7, map.version()));
  held.reset();
  EXPECT_EQ(Row::live, 6);
  map.remove(*it);
  Row::onFree = [this](int key) {
    if (key == 22) map.remove(*map[40]);
  };
  ++it;
  EXPECT_TRUE(it->key == 40 && !map[40]);
  ++it;
  fill({40, 55});
  EXPECT_EQ(walkFrom(it), (Keys{50, 55}));
  ++end;
  EXPECT_TRUE(end.atEnd() && end == map.end());
}

// Destruction and clear() free the rows, the map already empty at each release, with one
// version bump (none when empty); a row held elsewhere survives detached, its cursor at end.
TEST_F(RbTreeMapTest, ClearAndDestructionReleaseRows) {
  RowPtr held;
  {
    Map local;
    for (int k = 0; k < 1000; ++k) local.insert(row(k));
    held = RowPtr(local[500]);
  }
  EXPECT_TRUE(Row::live == 1 && detached(*held) && held->references() == 1u);
  held.reset();
  fill({10, 20, 30});
  Map::Iterator it = map.iteratorAt(10);
  std::vector<bool> sawEmpty;
  Row::onFree = [&](int) { sawEmpty.push_back(map.empty() && !map.first()); };
  const auto version = map.version();
  map.clear();
  map.clear();
  EXPECT_TRUE(map.version() == version + 1 && detached(*it));
  EXPECT_EQ(sawEmpty, (std::vector<bool>{true, true}));
  EXPECT_TRUE((++it).atEnd() && sawEmpty.size() == 3u);
}

// Inserting a present key, another collection's row or at a stale position, and removing a
// row not of this collection, stop the process.
TEST_F(RbTreeMapDeathTest, MisuseDies) {
  Map other;
  for (int k : {1, 2}) other.insert(row(k));
  fill({10});
  const Map::InsertPosition at = map.lookupForInsert(20);
  fill({15});
  const RowPtr loose = row(7);
  EXPECT_DEATH(map.insert(row(15)), "already present");
  EXPECT_DEATH(map.insert(RowPtr(other[1])), "already in a collection");
  EXPECT_DEATH(map.insert(RowPtr(other[2])), "already in a collection");
  EXPECT_DEATH(map.insertAt(at, row(20)), "stale");
  EXPECT_DEATH(map.remove(*other[1]), "not a member of this collection");
  EXPECT_DEATH(map.remove(*loose), "not a member of this collection");
}

}  // namespace

// Qel::RbTreeMap against std::map, its ownership and iterator rules. Rows count their live
// instances; after every case the fixture checks the red-black invariants and that no row
// outlives its last reference.
#include "Qel/RbTreeMap.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
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
static_assert(sizeof(Qel::RbTreeLinks<Row>) == 24, "the links must stay three words");
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
  Map map;
};
using RbTreeMapDeathTest = RbTreeMapTest;

// Random insertions (odd keys through lookupForInsert and insertAt) and removals agree with
// std::map: count, walk and every lookup, empty tree and both ends included; a removed row
// comes back detached with its only reference; each change bumps the version (from 1) once;
// the tree is sound after every change. A cursor stepped once per change, across removals of
// its own row and insertions around it, always reaches the model's next key.
TEST_F(RbTreeMapTest, RandomChangesMatchStdMap) {
  EXPECT_EQ(map.version(), 1u);
  for (unsigned seed : {1u, 2u, 3u}) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> keys(0, 999), probes(-1, 1000);
    Model model;
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
      ASSERT_EQ(map.version(), version + 1);
      ASSERT_EQ(map.checkInvariants(), "") << "seed " << seed << ", operation " << op;
      ASSERT_EQ(map.count(), model.size());
      ASSERT_EQ(map.findElementOrNext(probe), orNull(model.lower_bound(probe), model));
      ASSERT_EQ(map.iteratorAt(probe).member(), orNull(model.lower_bound(probe), model));
      ASSERT_EQ(map.findElementAfter(probe), orNull(model.upper_bound(probe), model));
      ASSERT_EQ(map.lookupForInsert(probe).found, map[probe]);
      ASSERT_EQ(map[probe], model.contains(probe) ? model[probe] : nullptr);
      if (cursor.atEnd()) {
        cursor = map.begin(), last = -1;
      } else {
        ++cursor;
      }
      ASSERT_EQ(cursor.member(), orNull(model.upper_bound(last), model)) << "after " << last;
      if (cursor) last = cursor->key;
    }
    Keys expected;
    for (const auto& [key, r] : model) expected.push_back(key);
    ASSERT_EQ(walkFrom(map.begin()), expected);
    cursor = map.end();
    map.clear();
  }
}

// A stale cursor re-finds its place: its row removed and its key re-inserted, the next row
// removed, keys inserted before and behind it, its row kept but the version moved on. Removed
// rows live while held; a step records the current version before freeing its old row, whose
// release may change the collection; a past-the-end cursor stays there.
TEST_F(RbTreeMapTest, StaleIteratorRefindsItsPlace) {
  fill({10, 20, 30, 40});
  Map::Iterator it = map.iteratorAt(20), end = map.iteratorAt(41);
  map.remove(*it);
  RowPtr held = map.remove(*map[30]);
  EXPECT_TRUE(it->references() == 1u && held->references() == 1u);
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
  ++it;
  EXPECT_EQ(it->key, 50);
  fill({40, 55});
  EXPECT_EQ(walkFrom(it), (Keys{50, 55}));
  ++end;
  EXPECT_TRUE(end.atEnd() && end == map.end());
}

// Destruction and clear() free the rows, clear() with the collection already empty when each
// is released and one version bump (none when empty); a row held elsewhere survives detached
// with its holder's reference only, and an iterator on it steps past the end.
TEST_F(RbTreeMapTest, ClearAndDestructionReleaseRows) {
  RowPtr held;
  {
    Map local;
    for (int k = 0; k < 1000; ++k) local.insert(row(k));
    held = RowPtr(local[500]);
  }
  EXPECT_EQ(Row::live, 1);
  EXPECT_TRUE(detached(*held) && held->references() == 1u);
  held.reset();
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
  EXPECT_TRUE(it.atEnd() && sawEmpty.size() == 3u);
}

// Inserting a present key, a row of another collection (its root or not), or at an insert
// position taken by an insertion made since, and removing another collection's root or a row
// of none, stop the process.
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

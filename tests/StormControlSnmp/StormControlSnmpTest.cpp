// The storm-control data model: traffic class, row key, rows and the table entity.
#include "StormControlSnmp/StormControlSnmp.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "Qel/Exception.h"
#include "Qel/TypeData.h"

namespace StormControlSnmp {
namespace {

using Bridging::StormControl::ClassStatus;
using Bridging::StormControl::IntfStatus;
using Bridging::StormControl::Threshold;
using Bridging::StormControl::ThresholdType;
using Key = StormControlIfTableKey;
using TC = StormControlTCType;
using StatusPtr = Pondo::Ptr<const IntfStatus>;

std::string text(const Key& k) {
  std::ostringstream out;
  out << k;
  return out.str();
}

Key parse(const char* s) { return Qel::strepToValue(Pondo::String(s), static_cast<Key*>(nullptr)); }

StatusPtr makeStatus(U64 level = 500, U64 drops = 7) {
  IntfStatus::Classes c;
  c.all = ClassStatus{Threshold{level, ThresholdType::packetsPerSecond, 1}, drops};
  c.broadcast = ClassStatus{Threshold{level + 1, ThresholdType::kilobitsPerSecond, 1}, drops + 1};
  c.multicast = ClassStatus{Threshold{}, drops + 2};  // the model's default threshold
  c.unknownUnicast = ClassStatus{Threshold{10000, ThresholdType::percentage, 5}, drops + 3};
  return Pondo::make<IntfStatus>("Ethernet1", c);
}

/// Records the table's publications: key and whether a previous row came with it.
struct TableLog {
  explicit TableLog(StormControlMib& mib) { mib.publisher()->subscriberAdd(slot, false); }
  void onChange(const Pondo::Change& c) {
    ASSERT_EQ(c.attribute, StormControlMib::stormControlIfTableAttr);
    ASSERT_EQ(c.keyEq, &Key::isEq);
    const auto* previous = static_cast<const Pondo::Ptr<StormControlIfTableEntry>*>(c.previous);
    if (previous) {
      EXPECT_EQ((*previous)->key(), *static_cast<const Key*>(c.key));
    }
    events.push_back({*static_cast<const Key*>(c.key), previous != nullptr});
  }
  struct Event {
    Key key;
    bool removal;
    bool operator==(const Event&) const = default;
  };
  std::vector<Event> events;
  Pondo::Subscriber slot{this, Pondo::memberHandler<&TableLog::onChange>};
};

// The exported list holds every registered enumerator once, in number order.
TEST(StormControlTCTypeTest, ListMatchesTheEnumeration) {
  const auto& enumerators = stormControlSnmpModule().type(0).enumerators();
  ASSERT_EQ(enumerators.size(), std::size_t{stormControlTCTypeCount});
  ASSERT_EQ(std::size(stormControlTCTypes), std::size_t{stormControlTCTypeCount});
  for (U8 i = 0; i < stormControlTCTypeCount; ++i) {
    EXPECT_EQ(static_cast<U8>(stormControlTCTypes[i]), i);
    EXPECT_EQ(enumerators[i].number, i);
    EXPECT_EQ(stringValue(stormControlTCTypes[i]), enumerators[i].name);
  }
  EXPECT_THROW(StormControlTCTypeInstance(unsigned{stormControlTCTypeCount}), Qel::RangeException);
}

// Numbers and names map to the four classes and nothing else.
TEST(StormControlTCTypeTest, InstancesAndNames) {
  EXPECT_EQ(StormControlTCTypeInstance(3u), TC::unknownUnicast);
  EXPECT_EQ(StormControlTCTypeInstance(Pondo::String("broadcast")), TC::broadcast);
  EXPECT_THROW(StormControlTCTypeInstance(4u), Qel::RangeException);
  EXPECT_THROW(StormControlTCTypeInstance(Pondo::String("Broadcast")), Qel::RangeException);
  EXPECT_EQ(stringValue(TC::multicast), "multicast");
  std::ostringstream out;
  out << TC::unknownUnicast;
  EXPECT_EQ(out.str(), "unknownUnicast");
}

// ifIndex decides first, unsigned; then the class in registration order.
TEST(StormControlIfTableKeyTest, Ordering) {
  EXPECT_LT(Key(5, TC::unknownUnicast), Key(6, TC::all));
  EXPECT_LT(Key(5, TC::all), Key(5, TC::broadcast));
  EXPECT_LT(Key(5, TC::broadcast), Key(5, TC::multicast));
  EXPECT_LT(Key(5, TC::multicast), Key(5, TC::unknownUnicast));
  EXPECT_GT(Key(0x80000000u, TC::all), Key(1, TC::all));
  const Key k(9, TC::multicast);
  EXPECT_EQ(k <=> k, std::strong_ordering::equal);
}

// Equal fields mean equal keys, equal untyped equality and equal hashes.
TEST(StormControlIfTableKeyTest, EqualityHashAndDefault) {
  const Key a(42, TC::broadcast), b(42, TC::broadcast), c(42, TC::multicast);
  EXPECT_TRUE(Key::isEq(&a, &b));
  EXPECT_FALSE(Key::isEq(&a, &c));
  EXPECT_EQ(a.hash(17), b.hash(17));
  EXPECT_NE(a.hash(17), c.hash(17));
  EXPECT_NE(a.hash(17), a.hash(18));
  EXPECT_EQ(Key(), Key(0, TC::all));
  EXPECT_FALSE(Key().isNonDefault());
  EXPECT_TRUE(Key(0, TC::broadcast).isNonDefault());
  EXPECT_TRUE(Key(1, TC::all).isNonDefault());
}

// The text form parses back to an equal key; anything else is refused.
TEST(StormControlIfTableKeyTest, TextRoundTripAndRefusals) {
  for (Key k : {Key(), Key(5, TC::unknownUnicast), Key(0xffffffffu, TC::multicast)}) {
    EXPECT_EQ(parse(text(k).c_str()), k) << text(k);
  }
  EXPECT_EQ(text(Key(5, TC::all)), "{ifIndex=5, trafficClass=all}");
  EXPECT_THROW(parse("{ifIndex=5, trafficClass=all}x"), Qel::ParseException);
  EXPECT_THROW(parse("{ifIndex=5 trafficClass=all}"), Qel::ParseException);
  EXPECT_THROW(parse("{ifIndex=4294967296, trafficClass=all}"), Qel::RangeException);
  try {
    parse("{ifIndex=5, trafficClass=every}");
    FAIL() << "an unknown class name must be refused";
  } catch (const Qel::RangeException& e) {
    EXPECT_NE(std::string(e.what()).find("trafficClass"), std::string::npos) << e.what();
  }
}

// The type module lists its four types in order, and generic access reaches them by number.
TEST(StormControlSnmpModuleTest, TypesAndGenericAccess) {
  const Qel::Module& m = stormControlSnmpModule();
  ASSERT_EQ(m.typeCount(), 4);
  EXPECT_STREQ(m.type(0).name(), "StormControlSnmp::StormControlTCType");
  EXPECT_STREQ(m.type(1).name(), "StormControlSnmp::StormControlIfTableKey");
  EXPECT_STREQ(m.type(2).name(), "StormControlSnmp::StormControlIfTableEntry");
  EXPECT_STREQ(m.type(3).name(), "StormControlSnmp::StormControlMib");
  EXPECT_EQ(m.type(0).enumerators().size(), 4u);

  const Qel::TypeData& keyType = m.type(1);
  const Key k = std::any_cast<Key>(keyType.ops().construct({U32(7), TC::multicast}));
  EXPECT_EQ(k, Key(7, TC::multicast));
  EXPECT_EQ(std::any_cast<U32>(Qel::attrRead(keyType, &k, 2)), 7u);
  EXPECT_EQ(std::any_cast<TC>(Qel::attrRead(keyType, &k, 3)), TC::multicast);
  Key mutableKey = k;
  EXPECT_THROW(Qel::attrSet(keyType, &mutableKey, 2, {U32(1)}), Qel::AttributeException);
  EXPECT_EQ(keyType.ops().text(&k), Pondo::String(text(k)));
  EXPECT_EQ(std::any_cast<Key>(keyType.ops().parse(keyType.ops().text(&k))), k);
  EXPECT_EQ(keyType.ops().hash(&k), k.hash(0));
  const Key d;
  EXPECT_FALSE(keyType.ops().isNonDefault(&d));
  EXPECT_TRUE(keyType.ops().less(&d, &k));

  auto mib = stormControlMibFactory("mib");
  const StatusPtr status = makeStatus();
  const Qel::TypeData& mibType = m.type(3);
  Qel::attrSet(mibType, mib.get(), 258, {Key(3, TC::all), status});
  Qel::attrSet(mibType, mib.get(), 258, {Key(1, TC::broadcast), status});
  const Qel::CollectionAccess& table = Qel::attrCollection(mibType, 258);
  EXPECT_EQ(table.count(mib.get()), 2u);
  EXPECT_TRUE(table.contains(mib.get(), Key(3, TC::all)));
  std::vector<Key> from2;
  const Qel::Value start = Key(2, TC::all);
  table.iterate(mib.get(), &start, [&](const Qel::Value& key, const Qel::Value&) {
    from2.push_back(std::any_cast<Key>(key));
    return true;
  });
  EXPECT_EQ(from2, std::vector<Key>{Key(3, TC::all)});
  const auto row =
      std::any_cast<Pondo::Ptr<StormControlIfTableEntry>>(table.find(mib.get(), Key(3, TC::all)));
  const Qel::TypeData& rowType = *row->typeData();
  EXPECT_EQ(std::any_cast<U64>(Qel::attrRead(rowType, row.get(), 134)), 500u);
  EXPECT_EQ(std::any_cast<U64>(Qel::attrRead(rowType, row.get(), 136)), 7u);
  EXPECT_TRUE(Qel::attrDel(mibType, mib.get(), 258, {Key(3, TC::all)}).has_value());
  EXPECT_FALSE(Qel::attrDel(mibType, mib.get(), 258, {Key(3, TC::all)}).has_value());
  EXPECT_EQ(std::any_cast<Pondo::String>(Qel::attrRead(mibType, mib.get(), 154)), "mib");
  const Qel::Args ctorArgs{Pondo::String("x")};
  EXPECT_THROW(mibType.ops().newEntity("x", &ctorArgs), Qel::NewEntityArgsException);
  EXPECT_EQ(mibType.ops().newEntity("x", nullptr)->typeData(), &mibType);
}

class StormControlMibTest : public ::testing::Test {
 protected:
  void TearDown() override {
    mib_.reset();
    EXPECT_EQ(StormControlIfTableEntry::memAllocationTracker_.liveObjects, rowsBefore_);
  }

  std::vector<Key> keys() const {
    std::vector<Key> out;
    for (auto it = mib_->stormControlIfTable().begin(); !it.atEnd(); ++it) out.push_back(it->key());
    return out;
  }

  U64 rowsBefore_ = StormControlIfTableEntry::memAllocationTracker_.liveObjects;
  Pondo::Ptr<StormControlMib> mib_ = stormControlMibFactory("stormcontrolmib");
  TableLog log_{*mib_};
  StatusPtr status_ = makeStatus();
};

// Insert-or-confirm: the same status keeps the row and publishes once; another status is
// refused and changes nothing.
TEST_F(StormControlMibTest, IsConfirmsOrRefuses) {
  auto first = mib_->stormControlIfTableIs(Key(5, TC::all), status_);
  const U32 version = mib_->stormControlIfTable().version();
  auto again = mib_->stormControlIfTableIs(Key(5, TC::all), status_);
  EXPECT_EQ(first, again);
  EXPECT_EQ(mib_->stormControlIfTable().version(), version);
  EXPECT_THROW(mib_->stormControlIfTableIs(Key(5, TC::all), makeStatus(9)),
               Qel::MutatorReinstantiatingException);
  EXPECT_EQ(mib_->stormControlIfTable(Key(5, TC::all)), first.get());
  EXPECT_EQ(first->status(), status_);
  EXPECT_EQ(log_.events, (std::vector<TableLog::Event>{{Key(5, TC::all), false}}));
}

// Replace inserts an absent row, keeps a row that already refers to the status (no change, no
// publication) and replaces one with another status by a published removal and insertion.
TEST_F(StormControlMibTest, ReplaceInsertsKeepsOrReplaces) {
  mib_->stormControlIfTableReplace(Key(5, TC::all), status_);
  Pondo::Ptr<StormControlIfTableEntry> first(mib_->stormControlIfTable(Key(5, TC::all)));
  const U32 version = mib_->stormControlIfTable().version();
  mib_->stormControlIfTableReplace(Key(5, TC::all), status_);
  EXPECT_EQ(mib_->stormControlIfTable().version(), version);
  EXPECT_EQ(mib_->stormControlIfTable(Key(5, TC::all)), first.get());
  const StatusPtr other = makeStatus(9);
  mib_->stormControlIfTableReplace(Key(5, TC::all), other);
  EXPECT_EQ(mib_->stormControlIfTable(Key(5, TC::all))->status(), other);
  EXPECT_FALSE(first->status() == other);  // the replaced row kept its status
  EXPECT_EQ(log_.events,
            (std::vector<TableLog::Event>{
                {Key(5, TC::all), false}, {Key(5, TC::all), true}, {Key(5, TC::all), false}}));
}

// Removal returns the row (still readable) and publishes it; an absent key publishes nothing.
TEST_F(StormControlMibTest, DelReturnsTheRow) {
  mib_->stormControlIfTableIs(Key(5, TC::broadcast), status_);
  EXPECT_EQ(mib_->stormControlIfTableDel(Key(6, TC::all)), nullptr);
  auto removed = mib_->stormControlIfTableDel(Key(5, TC::broadcast));
  ASSERT_TRUE(removed);
  EXPECT_EQ(removed->drops(), 8u);
  EXPECT_EQ(mib_->stormControlIfTable().count(), 0u);
  EXPECT_EQ(log_.events, (std::vector<TableLog::Event>{{Key(5, TC::broadcast), false},
                                                       {Key(5, TC::broadcast), true}}));
}

// DelAll removes, and publishes, in ascending key order; so does the entity's destruction.
TEST_F(StormControlMibTest, DelAllAndDestructionRemoveInKeyOrder) {
  for (Key k : {Key(7, TC::broadcast), Key(5, TC::multicast), Key(5, TC::all)}) {
    mib_->stormControlIfTableIs(k, status_);
  }
  log_.events.clear();
  mib_->stormControlIfTableDelAll();
  const std::vector<TableLog::Event> inOrder{
      {Key(5, TC::all), true}, {Key(5, TC::multicast), true}, {Key(7, TC::broadcast), true}};
  EXPECT_EQ(log_.events, inOrder);
  EXPECT_TRUE(keys().empty());

  for (Key k : {Key(7, TC::broadcast), Key(5, TC::multicast), Key(5, TC::all)}) {
    mib_->stormControlIfTableIs(k, status_);
  }
  auto held =
      Pondo::Ptr<StormControlIfTableEntry>(mib_->stormControlIfTable(Key(7, TC::broadcast)));
  log_.events.clear();
  mib_.reset();
  EXPECT_EQ(log_.events, inOrder);
  EXPECT_EQ(held->thresholdLevel(), 501u);  // a row someone holds outlives the table
}

// findElementOrNext and an iterator whose row is removed both move on by key.
TEST_F(StormControlMibTest, LookupAndIterationAcrossRemoval) {
  mib_->stormControlIfTableIs(Key(5, TC::all), status_);
  mib_->stormControlIfTableIs(Key(7, TC::broadcast), status_);
  const auto& table = mib_->stormControlIfTable();
  EXPECT_EQ(table.findElementOrNext(Key(5, TC::multicast))->key(), Key(7, TC::broadcast));
  EXPECT_EQ(table.findElementOrNext(Key(5, TC::all))->key(), Key(5, TC::all));
  EXPECT_EQ(table.findElementOrNext(Key(8, TC::all)), nullptr);

  mib_->stormControlIfTableIs(Key(9, TC::all), status_);
  auto it = table.begin();
  mib_->stormControlIfTableDel(it);
  EXPECT_EQ(it->key(), Key(5, TC::all));  // the iterator keeps its removed row
  mib_->stormControlIfTableIs(Key(6, TC::all), status_);
  ++it;
  EXPECT_EQ(it->key(), Key(6, TC::all));
  mib_->stormControlIfTableDel(Key(7, TC::broadcast));
  ++it;
  EXPECT_EQ(it->key(), Key(9, TC::all));
  ++it;
  EXPECT_TRUE(it.atEnd());
}

// Each row reads its own class; a default threshold reads level 0 but keeps its units.
TEST_F(StormControlMibTest, ColumnValuesFollowTheClass) {
  for (U8 c = 0; c < 4; ++c) mib_->stormControlIfTableIs(Key(3, TC(c)), status_);
  const auto* all = mib_->stormControlIfTable(Key(3, TC::all));
  const auto* broadcast = mib_->stormControlIfTable(Key(3, TC::broadcast));
  const auto* multicast = mib_->stormControlIfTable(Key(3, TC::multicast));
  const auto* unknown = mib_->stormControlIfTable(Key(3, TC::unknownUnicast));
  EXPECT_EQ(all->thresholdLevel(), 500u);
  EXPECT_EQ(all->thresholdUnits(), ThresholdType::packetsPerSecond);
  EXPECT_EQ(all->drops(), 7u);
  EXPECT_EQ(broadcast->thresholdLevel(), 501u);
  EXPECT_EQ(broadcast->thresholdUnits(), ThresholdType::kilobitsPerSecond);
  EXPECT_EQ(broadcast->drops(), 8u);
  EXPECT_EQ(multicast->thresholdLevel(), 0u);
  EXPECT_EQ(multicast->thresholdUnits(), ThresholdType::percentage);
  EXPECT_EQ(multicast->drops(), 9u);
  EXPECT_EQ(unknown->thresholdLevel(), 10000u);  // level 10000, but not the default threshold
  EXPECT_EQ(unknown->drops(), 10u);

  auto orphan = mib_->stormControlIfTableIs(Key(4, TC::all), nullptr);
  EXPECT_EQ(orphan->thresholdLevel(), 0u);
  EXPECT_EQ(orphan->drops(), 0u);
}

}  // namespace
}  // namespace StormControlSnmp

// The storm-control data model: traffic class, row key, rows and the table entity. The texts
// of classes and keys are in the table module's transcript (expected-requests.txt).
#include "StormControlSnmp/StormControlSnmp.h"

#include <gtest/gtest.h>

#include <vector>

#include "Qel/Exception.h"

namespace StormControlSnmp {
namespace {

using Bridging::StormControl::IntfStatus;
using Key = StormControlIfTableKey;
using TC = StormControlTCType;
using Events = std::vector<std::pair<Key, bool>>;  // key, and whether the removed row came along

std::string text(const Key& k) { return ::testing::PrintToString(k); }
Key parse(const std::string& s) { return Qel::strepToValue(Pondo::String(s), (Key*)nullptr); }

/// Class i drops `n` + 10 i.
Pondo::Ptr<const IntfStatus> makeStatus(U64 n) {
  return Pondo::make<IntfStatus>(
      "Ethernet1",
      Bridging::StormControl::Classes{{{{{}, n}, {{}, n + 10}, {{}, n + 20}, {{}, n + 30}}}});
}

// Numbers and names map to the four classes and nothing else.
TEST(StormControlTCTypeTest, InstancesAndNames) {
  for (unsigned i = 0; i < stormControlTCTypeCount; ++i) {
    EXPECT_EQ(StormControlTCTypeInstance(i), stormControlTCTypes[i]);
    EXPECT_EQ(StormControlTCTypeInstance(stringValue(TC(i))), TC(i));
  }
  EXPECT_THROW(StormControlTCTypeInstance(4u), Qel::RangeException);
  EXPECT_THROW(StormControlTCTypeInstance(Pondo::String("Broadcast")), Qel::RangeException);
}

// Keys order by unsigned ifIndex, then class; equal keys are equal and hash alike; only the
// zero key is default; the text parses back and anything else is refused, naming the field.
TEST(StormControlIfTableKeyTest, OrderEqualityAndText) {
  const std::vector<Key> ascending = {Key(),
                                      Key(0, TC::broadcast),
                                      Key(5, TC::all),
                                      Key(5, TC::multicast),
                                      Key(5, TC::unknownUnicast),
                                      Key(6, TC::all),
                                      Key(0x80000000u, TC::all),
                                      Key(0xffffffffu, TC::multicast)};
  for (std::size_t i = 0; i < ascending.size(); ++i) {
    const Key &k = ascending[i], &before = ascending[i > 0 ? i - 1 : 0];
    const Key same(k.ifIndex(), k.trafficClass());
    SCOPED_TRACE(text(k));
    EXPECT_TRUE(Key::isEq(&k, &same));
    EXPECT_EQ(k.hash(17), same.hash(17));
    EXPECT_EQ(before<k, i> 0);
    EXPECT_EQ(Key::isEq(&k, &before), i == 0);
    EXPECT_EQ(k.hash(17) == before.hash(17), i == 0);
    EXPECT_EQ(k.isNonDefault(), i > 0);
    EXPECT_EQ(parse(text(k)), k);
  }
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

/// The table's publications.
struct TableLog {
  explicit TableLog(StormControlMib& mib) { mib.publisher()->subscriberAdd(slot, false); }
  void onChange(const Pondo::Change& c) {
    ASSERT_EQ(c.attribute, StormControlMib::stormControlIfTableAttr);
    const auto* previous = static_cast<const Pondo::Ptr<StormControlIfTableEntry>*>(c.previous);
    const Key& key = *static_cast<const Key*>(c.key);
    EXPECT_TRUE(!previous || (*previous)->key() == key);
    events.emplace_back(key, previous != nullptr);
  }
  Events events;
  Pondo::Subscriber slot{this, Pondo::memberHandler<&TableLog::onChange>};
};

// A row without a status reads 0 (rows of a status are read by the request tests); Is confirms the
// same status and refuses another, Replace keeps or replaces, Del hands the row back; DelAll and
// the entity's end remove in key order. Every change is published once, and an iterator whose row
// went moves on by key.
TEST(StormControlMibTest, RowsChangesAndPublications) {
  const U64 rowsBefore = StormControlIfTableEntry::memAllocationTracker_.liveObjects;
  auto mib = stormControlMibFactory("stormcontrolmib");
  TableLog log(*mib);
  const auto status = makeStatus(500);
  for (TC tc : stormControlTCTypes) mib->stormControlIfTableIs(Key(7, tc), status);
  const auto* empty = mib->stormControlIfTableIs(Key(9, TC::all), nullptr).get();
  EXPECT_EQ(empty->thresholdLevel() + U64(empty->thresholdUnits()) + empty->drops(), 0u);
  log.events.clear();
  EXPECT_EQ(mib->stormControlIfTableIs(Key(7, TC::all), status).get(),
            mib->stormControlIfTable(Key(7, TC::all)));
  EXPECT_THROW(mib->stormControlIfTableIs(Key(7, TC::all), makeStatus(1)),
               Qel::MutatorReinstantiatingException);
  const U32 version = mib->stormControlIfTable().version();
  mib->stormControlIfTableReplace(Key(7, TC::broadcast), status);
  EXPECT_EQ(mib->stormControlIfTable().version(), version);
  auto it = mib->stormControlIfTable().begin();  // at Key(7, all)
  mib->stormControlIfTableReplace(Key(7, TC::all), makeStatus(1));
  EXPECT_EQ(mib->stormControlIfTable(Key(7, TC::all))->drops(), 1u);
  EXPECT_EQ(it->drops(), 500u) << "the replaced row keeps its status";
  EXPECT_EQ(mib->stormControlIfTableDel(Key(8, TC::all)), nullptr);
  EXPECT_EQ(mib->stormControlIfTableDel(Key(7, TC::broadcast))->drops(), 510u);
  ++it;
  EXPECT_EQ(it->key(), Key(7, TC::multicast));
  EXPECT_EQ(mib->stormControlIfTable().findElementOrNext(Key(8, TC::all))->key(), Key(9, TC::all));
  EXPECT_EQ(
      log.events,
      (Events{{Key(7, TC::all), true}, {Key(7, TC::all), false}, {Key(7, TC::broadcast), true}}));
  log.events.clear();
  mib->stormControlIfTableDelAll();
  const Events inOrder = {{Key(7, TC::all), true},
                          {Key(7, TC::multicast), true},
                          {Key(7, TC::unknownUnicast), true},
                          {Key(9, TC::all), true}};
  EXPECT_EQ(log.events, inOrder);
  for (const auto& [key, removal] : inOrder) mib->stormControlIfTableIs(key, status);
  log.events.clear();
  mib.reset();
  EXPECT_EQ(log.events, inOrder);
  EXPECT_EQ(it->drops(), 520u) << "a row someone holds outlives the table";
  it = {};
  EXPECT_EQ(StormControlIfTableEntry::memAllocationTracker_.liveObjects, rowsBefore);
}

}  // namespace
}  // namespace StormControlSnmp

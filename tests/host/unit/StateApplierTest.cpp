// StateApplierTest.cpp — applying state files: only differences, in an order that keeps the
// plug-in's table exact, in task runs that yield.
#include "host/StateApplier.h"

#include "InputsFixture.h"

namespace HostTest {
namespace {

const std::string fileA = R"({
  "interfaces": {"E1/1": 1, "E1/2": 2, "E1/3": 3, "E1/6": 6},
  "status": {
    "s0": {"E1/1": {"all": {"drops": 1}}, "E1/2": {"broadcast": {"drops": 2}}, "E1/6": {}},
    "s1": {"E1/3": {"multicast": {"drops": 3}}}
  }
})";

// E1/2 leaves (its ifIndex 2 moves to the new E1/5), E1/4 is new, s1 goes, s2 comes,
// E1/1's drops change, E1/6 stays as it was.
const std::string fileB = R"({
  "interfaces": {"E1/1": 1, "E1/3": 3, "E1/4": 4, "E1/5": 2, "E1/6": 6},
  "status": {
    "s0": {"E1/1": {"all": {"drops": 2}}, "E1/4": {}, "E1/5": {"all": {"drops": 5}}, "E1/6": {}},
    "s2": {"E1/3": {"multicast": {"drops": 3}}}
  }
})";

class StateApplierTest : public InputsFixture {
 protected:
  void applyNow(const std::string& text) { applier_.applyNow(parsed(text)); }

  int applied_ = 0;
  Host::StateApplier applier_{inputs(), [this] { ++applied_; }};
};

// Only differences are published; an interface leaving loses its status before its ifIndex,
// and its ifIndex is free before the next interface takes it. The table ends as file B says.
TEST_F(StateApplierTest, PublishesDifferencesInOrder) {
  startMachine();
  applyNow(fileA);
  EXPECT_EQ(applied_, 1);
  EXPECT_EQ(tableRows(), rowsOf(*parsed(fileA)));
  const auto s0 = Pondo::dynamicPtrCast<const Status>(slice_->entityPtr(Pondo::String("s0")));
  ASSERT_TRUE(s0);
  const auto unchanged = s0->intfStatus(Pondo::String("E1/6"));
  const auto changed = s0->intfStatus(Pondo::String("E1/1"));

  InputLog log(*slice_, *ifMib_);
  applyNow(fileB);
  EXPECT_EQ(applied_, 2);
  Events sorted = log.events;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (Events{"entity+ s2", "entity- s1", "ifIndex- E1/2", "ifIndex= E1/4 4",
                            "ifIndex= E1/5 2", "status- s0/E1/2", "status= s0/E1/1",
                            "status= s0/E1/4", "status= s0/E1/5", "status= s2/E1/3"}));
  EXPECT_LT(log.at("status- s0/E1/2"), log.at("ifIndex- E1/2"));
  EXPECT_LT(log.at("ifIndex- E1/2"), log.at("ifIndex= E1/5 2"));
  EXPECT_LT(log.at("entity- s1"), log.at("entity+ s2"));
  EXPECT_LT(log.at("entity+ s2"), log.at("status= s2/E1/3"));
  EXPECT_EQ(tableRows(), rowsOf(*parsed(fileB)));

  EXPECT_EQ(s0->intfStatus(Pondo::String("E1/6")), unchanged) << "an unchanged status is kept";
  const auto now = s0->intfStatus(Pondo::String("E1/1"));
  EXPECT_NE(now, changed) << "a changed status is a new object";
  EXPECT_EQ(now->all().drops, 2u);
  EXPECT_EQ(changed->all().drops, 1u) << "published objects never change";

  log.events.clear();
  applyNow(fileB);
  EXPECT_EQ(log.events, Events{}) << "applying the live state again publishes nothing";
}

// An interface whose ifIndex changes, or goes while its status stays, has its status
// withdrawn first and published again after, so no row stays under its old ifIndex.
TEST_F(StateApplierTest, IfIndexChangeRepublishesStatus) {
  startMachine();
  applyNow(fileA);
  InputLog log(*slice_, *ifMib_);
  const std::string fileC = R"({
    "interfaces": {"E1/1": 7, "E1/3": 3, "E1/6": 6},
    "status": {
      "s0": {"E1/1": {"all": {"drops": 1}}, "E1/2": {"broadcast": {"drops": 2}}, "E1/6": {}},
      "s1": {"E1/3": {"multicast": {"drops": 3}}}
    }
  })";
  applyNow(fileC);
  EXPECT_LT(log.at("status- s0/E1/1"), log.at("ifIndex= E1/1 7"));
  EXPECT_LT(log.at("ifIndex= E1/1 7"), log.at("status= s0/E1/1"));
  EXPECT_LT(log.at("status- s0/E1/2"), log.at("ifIndex- E1/2"));
  EXPECT_LT(log.at("ifIndex- E1/2"), log.at("status= s0/E1/2"));
  EXPECT_EQ(log.events.size(), 6u);
  EXPECT_EQ(tableRows(), rowsOf(*parsed(fileC)));
  EXPECT_EQ(tableRows().count(row(1, 0, 1)), 0u);
}

/// A file of `n` interfaces over two entities, interface `changed` with `drops` drops.
std::string largeFile(U32 n, U32 changed, U64 drops) {
  std::string interfaces;
  std::string status[2];
  for (U32 i = 0; i < n; ++i) {
    const std::string name =
        "\"Ethernet" + std::to_string(i / 48 + 1) + "/" + std::to_string(i % 48 + 1) + "\"";
    interfaces += (i ? "," : "") + name + ":" + std::to_string(i + 1);
    std::string& s = status[i % 2];
    s += (s.empty() ? "" : ",") + name +
         ":{\"all\":{\"drops\":" + std::to_string(i == changed ? drops : 0) + "}}";
  }
  return "{\"interfaces\":{" + interfaces + "},\"status\":{\"a\":{" + status[0] + "},\"b\":{" +
         status[1] + "}}}";
}

// A large state is applied in many runs, each bounded by the yield policy; a reload with one
// interface changed also compares in runs and publishes that one status only.
TEST_F(StateApplierTest, LargeDifferencesApplyInTaskRuns) {
  constexpr U32 n = 2000;
  startMachine();
  scheduler_->yieldAfterChecksIs(50);
  applier_.applyInTasks(parsed(largeFile(n, 0, 0)));
  EXPECT_EQ(applied_, 0) << "nothing is applied outside task runs";
  scheduler_->statisticsReset();
  const U64 runs = scheduler_->runUntilIdle();
  EXPECT_EQ(applied_, 1);
  EXPECT_FALSE(applier_.applying());
  EXPECT_GE(runs, 2u * n / 50) << "every item checks whether to yield";
  EXPECT_EQ(ifMib_->ifIndexByIntfId().count(), n);
  EXPECT_EQ(tableRows(), rowsOf(*parsed(largeFile(n, 0, 0))));

  InputLog log(*slice_, *ifMib_);
  applier_.applyInTasks(parsed(largeFile(n, 1234, 9)));
  const U64 reloadRuns = scheduler_->runUntilIdle();
  EXPECT_EQ(applied_, 2);
  EXPECT_GE(reloadRuns, 3u * n / 50) << "the comparison itself is cut into runs";
  EXPECT_EQ(log.events, Events{"status= a/Ethernet26/35"});
  EXPECT_EQ(tableRows().count(row(1235, 0, 9)), 1u);
}

// A target given while another is being applied restarts from it: the newest file wins and
// completion is reported once.
TEST_F(StateApplierTest, NewTargetRestartsApplying) {
  constexpr U32 n = 500;
  startMachine();
  scheduler_->yieldAfterChecksIs(20);
  applier_.applyInTasks(parsed(largeFile(n, 0, 0)));
  for (int i = 0; i < 10; ++i) scheduler_->runOne();
  ASSERT_TRUE(applier_.applying());
  const std::string latest = R"({"interfaces": {"E9/9": 99}, "status": {"z": {"E9/9": {}}}})";
  applier_.applyInTasks(parsed(latest));
  scheduler_->runUntilIdle();
  EXPECT_EQ(applied_, 1);
  EXPECT_EQ(ifMib_->ifIndexByIntfId().count(), 1u);
  EXPECT_EQ(slice_->entityCount(), 1u);
  EXPECT_EQ(tableRows(), rowsOf(*parsed(latest)));

  // Applying at once drops a target under way.
  applier_.applyInTasks(parsed(largeFile(n, 0, 0)));
  scheduler_->runOne();
  applyNow("{}");
  scheduler_->runUntilIdle();
  EXPECT_EQ(applied_, 2);
  EXPECT_EQ(ifMib_->ifIndexByIntfId().count(), 0u);
  EXPECT_EQ(slice_->entityCount(), 0u);
  EXPECT_TRUE(tableRows().empty());
}

// An interface moving from one status entity to another keeps its rows after every edit,
// whether it moves in one edit (and back) or leaves one entity in one edit and joins the other
// in the next. In task runs that yield after every item, as a reload applies.
TEST_F(StateApplierTest, InterfaceMovesBetweenEntities) {
  const std::string inA = R"({"interfaces": {"E1/1": 1, "E1/2": 2},
    "status": {"a": {"E1/1": {"all": {"drops": 1}}, "E1/2": {}}, "b": {}}})";
  const std::string inB = R"({"interfaces": {"E1/1": 1, "E1/2": 2},
    "status": {"a": {"E1/2": {}}, "b": {"E1/1": {"all": {"drops": 1}}}}})";
  const std::string inNone = R"({"interfaces": {"E1/1": 1, "E1/2": 2},
    "status": {"a": {"E1/2": {}}, "b": {}}})";
  startMachine();
  scheduler_->yieldAfterChecksIs(1);
  for (const std::string* text : {&inA, &inB, &inA, &inNone, &inB, &inNone, &inA}) {
    SCOPED_TRACE(*text);
    applier_.applyInTasks(parsed(*text));
    scheduler_->runUntilIdle();
    EXPECT_EQ(tableRows(), rowsOf(*parsed(*text)));
  }
}

}  // namespace
}  // namespace HostTest

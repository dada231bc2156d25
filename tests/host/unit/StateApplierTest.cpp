// StateApplierTest.cpp — applying state files: only differences, in an order that keeps the
// plug-in's table exact, in task runs that yield, the newest file winning.
#include "host/StateApplier.h"

#include "InputsFixture.h"

namespace HostTest {
namespace {

class StateApplierTest : public InputsFixture {
 protected:
  void applyNow(const std::string& text) { applier_.applyNow(parsed(text)); }
  /// Applies `text` in task runs to the end; the runs it took.
  U64 applyInTasks(const std::string& text) {
    applier_.applyInTasks(parsed(text));
    return scheduler_->runUntilIdle();
  }

  int applied_ = 0;
  Host::StateApplier applier_{inputs(), [this] { ++applied_; }};
};

/// A file of `n` interfaces over two entities, interface `changed` with `drops` drops.
std::string largeFile(U32 n, U32 changed = 0, U64 drops = 0) {
  std::string interfaces, status[2];
  for (U32 i = 0; i < n; ++i) {
    interfaces += fmt::format("{}\"E{}\":{}", i ? "," : "", i, i + 1);
    status[i % 2] += fmt::format(R"({}"E{}":{{"all":{{"drops":{}}}}})", i < 2 ? "" : ",", i,
                                 i == changed ? drops : 0);
  }
  return fmt::format(R"({{"interfaces":{{{}}},"status":{{"a":{{{}}},"b":{{{}}}}}}})", interfaces,
                     status[0], status[1]);
}

// From A to B only differences are published. An interface leaving loses its status before its
// ifIndex, which is free before another takes it; an ifIndex changing or going while the status
// stays has the status withdrawn first and published after; an entity goes before a new one
// comes. Unchanged objects stay; the table ends as B says; applying B again publishes nothing.
TEST_F(StateApplierTest, PublishesOnlyDifferencesInOrder) {
  const std::string a = R"({"interfaces": {"E1": 1, "E2": 2, "E3": 3, "E6": 6, "E7": 7},
    "status": {"s0": {"E1": {"all": {"drops": 1}}, "E2": {"broadcast": {"drops": 2}}, "E6": {},
                      "E7": {}}, "s1": {"E3": {"multicast": {"drops": 3}}}}})";
  const std::string b = R"({"interfaces": {"E1": 11, "E3": 3, "E4": 4, "E5": 2, "E6": 6},
    "status": {"s0": {"E1": {"all": {"drops": 2}}, "E4": {}, "E5": {"all": {"drops": 5}}, "E6": {},
                      "E7": {}}, "s2": {"E3": {"multicast": {"drops": 3}}}}})";
  startMachine();
  applyNow(a);
  EXPECT_EQ(tableRows(), rowsOf(a));
  const StatusPtr e1 = live("E1"), e6 = live("E6");

  InputLog log(*slice_, *ifMib_);
  applyNow(b);
  EXPECT_EQ(applied_, 2);
  EXPECT_EQ(
      std::multiset(log.events.begin(), log.events.end()),
      (std::multiset<std::string>{
          "entity+ s2", "entity- s1", "ifIndex- E2", "ifIndex- E7", "ifIndex= E1 11",
          "ifIndex= E4 4", "ifIndex= E5 2", "status- s0/E1", "status- s0/E2", "status- s0/E7",
          "status= s0/E1", "status= s0/E4", "status= s0/E5", "status= s0/E7", "status= s2/E3"}));
  for (const auto& [first, then] : {std::pair{"status- s0/E2", "ifIndex- E2"},
                                    {"ifIndex- E2", "ifIndex= E5 2"},
                                    {"status- s0/E1", "ifIndex= E1 11"},
                                    {"ifIndex= E1 11", "status= s0/E1"},
                                    {"status- s0/E7", "ifIndex- E7"},
                                    {"ifIndex- E7", "status= s0/E7"},
                                    {"entity- s1", "entity+ s2"},
                                    {"entity+ s2", "status= s2/E3"}}) {
    EXPECT_TRUE(log.before(first, then)) << first << " before " << then;
  }
  EXPECT_EQ(tableRows(), rowsOf(b));
  EXPECT_EQ(live("E6"), e6) << "an unchanged status is kept";
  EXPECT_EQ(live("E1")->all().drops - e1->all().drops, 1u) << "published objects never change";

  log.events.clear();
  applyNow(b);
  EXPECT_EQ(log.events, Events{}) << "applying the live state again publishes nothing";
}

// A change of any one field of any one traffic class publishes the status again, with it.
TEST_F(StateApplierTest, ChangeOfAnyClassRepublishesTheStatus) {
  const auto file = [](const std::string& classes) {
    return R"({"interfaces": {"E1": 1}, "status": {"s0": {"E1": {)" + classes + "}}}}";
  };
  const char* const fields[] = {"level", "units", "scale", "drops"};
  for (int c = 0, f = 0; c < 4; f = (f + 1) % 4, c += !f) {
    SCOPED_TRACE(std::string(classNames[c]) + "." + fields[f]);
    applyNow(file(""));
    InputLog log(*slice_, *ifMib_);
    applyNow(file(fmt::format(R"("{}": {{"{}": 1}})", classNames[c], fields[f])));
    EXPECT_EQ(log.events, Events{"status= s0/E1"});
    EXPECT_EQ(fieldsOf(*classesOf(*live("E1"))[c])[f], 1u);
  }
}

// A large state is applied in runs bounded by the yield policy; a reload with one interface
// changed compares in runs too and publishes that one status. A target given mid-apply restarts
// from it (completion reported once, the newest file wins); applying at once drops it.
TEST_F(StateApplierTest, AppliesInTaskRunsAndRestartsOnANewTarget) {
  constexpr U32 n = 2000;
  startMachine();
  scheduler_->yieldAfterChecksIs(50);
  applier_.applyInTasks(parsed(largeFile(n)));
  EXPECT_EQ(applied_, 0) << "nothing is applied outside task runs";
  EXPECT_GE(scheduler_->runUntilIdle(), 2u * n / 50) << "every item checks whether to yield";
  EXPECT_EQ(applied_, 1);
  EXPECT_FALSE(applier_.applying());
  EXPECT_EQ(tableRows(), rowsOf(largeFile(n)));

  InputLog log(*slice_, *ifMib_);
  EXPECT_GE(applyInTasks(largeFile(n, 1234, 9)), 3u * n / 50) << "the comparison yields too";
  EXPECT_EQ(log.events, Events{"status= a/E1234"});

  applier_.applyInTasks(parsed(largeFile(n)));
  for (int i = 0; i < 10; ++i) scheduler_->runOne();
  ASSERT_TRUE(applier_.applying());
  const std::string latest = R"({"interfaces": {"E9": 99}, "status": {"z": {"E9": {}}}})";
  applyInTasks(latest);
  EXPECT_EQ(applied_, 3);
  EXPECT_EQ(published(), 2u);
  EXPECT_EQ(tableRows(), rowsOf(latest));

  applier_.applyInTasks(parsed(largeFile(n)));
  scheduler_->runOne();
  applyNow("{}");
  EXPECT_EQ(published() + tableRows().size(), 0u);
  EXPECT_EQ(applied_, 4);
}

// An interface moving between entities keeps its rows after every edit, moved in one edit (and
// back) or leaving one entity in one edit and joining the other in the next, applied in task
// runs that yield after every item.
TEST_F(StateApplierTest, InterfaceMovesBetweenEntities) {
  const auto file = [](const char* a, const char* b) {
    return fmt::format(R"({{"interfaces": {{"E1": 1, "E2": 2}},
      "status": {{"a": {{"E2": {{}}{}}}, "b": {{{}}}}}}})",
                       a, b);
  };
  const std::string inA = file(R"(, "E1": {"all": {"drops": 1}})", ""), inNone = file("", "");
  const std::string inB = file("", R"("E1": {"all": {"drops": 1}})");
  startMachine();
  scheduler_->yieldAfterChecksIs(1);
  for (const std::string* text : {&inA, &inB, &inA, &inNone, &inB, &inNone, &inA}) {
    applyInTasks(*text);
    EXPECT_EQ(tableRows(), rowsOf(*text)) << *text;
  }
}

}  // namespace
}  // namespace HostTest

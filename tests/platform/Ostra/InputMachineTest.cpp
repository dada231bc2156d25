// Ostra::Gen::InputMachine on a bare keyed input: the resumable scan and its bookmark, the
// completion rule, the task, the zombie switch and withdrawal with its missed-change check.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Ostra/InputMachine.h"
#include "Pondo/Publisher.h"
#include "Qel/HashMap2018.h"
#include "Velo/TaskScheduler.h"

namespace {

using Ostra::Gen::InputScanState;
using Keys = std::vector<U32>;

constexpr U16 membersAttr = 7;

/// An input: numbers to values, publishing each change with attribute `membersAttr`.
class Input : public Pondo::Node {
 public:
  using Map = Qel::HashMap2018<U32, U32>;
  Pondo::Publisher* publisher() const override { return &publisher_; }
  const Map& members() const noexcept { return members_; }
  void memberIs(U32 key, U32 value) {
    members_.insertOrAssign(key, value);
    publisher_.publishChangeRecursive(membersAttr, &key, nullptr, nullptr);
  }
  void memberDel(U32 key) {
    members_.remove(key);
    publisher_.publishChangeRecursive(membersAttr, &key, nullptr, nullptr);
  }
  /// A change nobody hears of.
  void memberIsQuietly(U32 key, U32 value) { members_.insertOrAssign(key, value); }

 private:
  mutable Pondo::Publisher publisher_;
  Map members_;
};

/// The parent: the initial-scan flag, the scheduler and what the machine emits.
struct Parent {
  bool initialScanDone() const { return done; }
  bool synchronous() const { return false; }
  const Pondo::Ptr<Velo::TaskScheduler>& scheduler() const { return sched; }
  Velo::TaskPriority priority() const { return 1; }

  bool done = false;
  Pondo::Ptr<Velo::TaskScheduler> sched = Pondo::make<Velo::TaskScheduler>();
  Keys emitted;
  Keys withdrawn;
  int finished = 0;
};

/// Emits every key it handles; finishes by telling the parent.
class Machine : public Ostra::Gen::InputMachine<Input, U32, Parent> {
 public:
  Machine(const Pondo::Ptr<const Input>& input, Parent* parent) : InputMachine(input, parent) {
    start();
  }
  const Qel::TypeData* typeData() const override { return nullptr; }
  void doInitializeTask() override { taskFromParent("scan"); }
  void doInputScan() override { scanInTaskOrNow(); }
  void doDeleteAll() {
    withdrawAll(en()->members(), "missed a change",
                [this](U32 key) { parent()->withdrawn.push_back(key); });
  }

 private:
  void onInputChange(const Pondo::Change& change) override {
    if (change.attribute != membersAttr) return;
    handle(*static_cast<const U32*>(change.key));
  }
  void handle(U32 key) {
    inputVersionIs(en()->members().version());
    parent()->emitted.push_back(key);
  }
  void doScanStep() override {
    const InputScanState entry = inputScanState();
    if (!scanPending(entry)) return;
    const auto& map = en()->members();
    const auto from =
        entry == InputScanState::yielded ? map.iteratorFrom(inputScanBookmark()) : map.begin();
    const ScanRun run = scan(
        from,
        [this](U32 key) {
          handle(key);
          return true;
        },
        [&map] { return map.count(); });
    inputVersionIs(map.version());
    if (run.end != ScanEnd::finished) {
      scanYielded(run);
      return;
    }
    scanFinished();
    ++parent()->finished;
  }
};

class InputMachineTest : public ::testing::Test {
 protected:
  InputMachineTest() {
    for (U32 k = 1; k <= 6; ++k) input_->memberIsQuietly(k, k);
  }
  ~InputMachineTest() override {
    if (machine_) machine_->hasNotificationActiveIs(false);
  }
  void startMachine() {
    machine_ = Pondo::make<Machine>(input_, &parent_);
    machine_->hasNotificationActiveIs(true);
  }
  Keys inScanOrder() const {
    Keys out;
    for (auto it = input_->members().begin(); !it.atEnd(); ++it) out.push_back(it.key());
    return out;
  }

  Pondo::Ptr<Input> input_ = Pondo::make<Input>();
  Parent parent_;
  Pondo::Ptr<Machine> machine_;
};

// A yielded step bookmarks the next key not handled; the next step starts there, so every key
// is handled once, and the step that handles the last key finishes instead of yielding.
TEST_F(InputMachineTest, ResumesAtBookmarkAndFinishesOnLastKey) {
  parent_.sched->yieldAfterChecksIs(2);
  startMachine();  // the new task's inline step yields after one key: the work goes in runs
  const Keys order = inScanOrder();
  EXPECT_EQ(machine_->inputScanState(), InputScanState::yielded);
  EXPECT_EQ(machine_->inputScanBookmark(), order[1]);
  EXPECT_EQ(parent_.emitted, Keys{order[0]});
  ASSERT_TRUE(parent_.sched->runOne());
  EXPECT_EQ(machine_->inputScanBookmark(), order[3]);
  EXPECT_EQ(parent_.emitted, Keys(order.begin(), order.begin() + 3));
  parent_.sched->yieldAfterChecksIs(3);  // the third check comes with the last key
  ASSERT_TRUE(parent_.sched->runOne());
  EXPECT_EQ(parent_.emitted, order);
  EXPECT_EQ(machine_->inputScanState(), InputScanState::initialComplete);
  EXPECT_EQ(parent_.finished, 1);
  EXPECT_TRUE(machine_->task()) << "the task stays for the rescan";
  EXPECT_FALSE(parent_.sched->runOne()) << "no empty step after the last key";
}

// A bookmarked key that leaves the input meanwhile is not needed: the step starts at the key
// that followed it, and no key is handled twice.
TEST_F(InputMachineTest, ResumesAfterBookmarkedKeyLeft) {
  parent_.sched->yieldAfterChecksIs(2);
  startMachine();
  ASSERT_TRUE(parent_.sched->runOne());
  const Keys order = inScanOrder();
  const U32 bookmark = machine_->inputScanBookmark();
  ASSERT_EQ(bookmark, order[3]);
  machine_->hasNotificationActiveIs(false);  // the removal is not handled as a change here
  input_->memberDel(bookmark);
  machine_->hasNotificationActiveIs(true);
  while (parent_.sched->runOne()) {
  }
  Keys expected = order;
  expected.erase(expected.begin() + 3);
  EXPECT_EQ(parent_.emitted, expected);
  EXPECT_EQ(parent_.finished, 1);
}

// The initial scan counts as complete only until the parent's initial scan is done; then the
// next scan starts over, ends `complete` and gives the task back.
TEST_F(InputMachineTest, InitialCompleteThenCompleteReleasesTask) {
  startMachine();
  while (parent_.sched->runOne()) {
  }
  ASSERT_EQ(machine_->inputScanState(), InputScanState::initialComplete);
  EXPECT_TRUE(machine_->inputScanComplete());
  parent_.done = true;
  EXPECT_FALSE(machine_->inputScanComplete());
  parent_.emitted.clear();
  machine_->doInputScan();
  while (parent_.sched->runOne()) {
  }
  EXPECT_EQ(parent_.emitted, inScanOrder());
  EXPECT_EQ(machine_->inputScanState(), InputScanState::complete);
  EXPECT_TRUE(machine_->inputScanComplete());
  EXPECT_FALSE(machine_->task());
  EXPECT_EQ(parent_.finished, 2);
}

// Never yields inside a reactor: a scan step run from a change handler goes to the end.
TEST_F(InputMachineTest, NeverYieldsInReactor) {
  parent_.sched->yieldAfterChecksIs(1);
  startMachine();
  ASSERT_EQ(machine_->inputScanState(), InputScanState::yielded);
  machine_->inReactorIs(true);
  EXPECT_FALSE(machine_->shouldYield());
  machine_->inReactorIs(false);
}

// A zombie hears neither its input nor its task; deactivation also drops both subscriptions.
TEST_F(InputMachineTest, ZombieIgnoresChangesAndTaskRuns) {
  parent_.sched->yieldAfterChecksIs(2);
  startMachine();
  machine_->qelDoZombieReactors(true);
  EXPECT_TRUE(machine_->zombie());
  const Keys before = parent_.emitted;
  input_->memberIs(99, 1);
  while (parent_.sched->runOne()) {
  }
  EXPECT_EQ(parent_.emitted, before);
  machine_->qelDoZombieReactors(false);
  machine_->hasNotificationActiveIs(false);
  input_->memberIs(100, 1);
  EXPECT_EQ(parent_.emitted, before);
  machine_->hasNotificationActiveIs(true);
  input_->memberIs(101, 1);
  EXPECT_EQ(parent_.emitted.back(), 101u);
}

// Withdrawal takes back every member once the parent's initial scan is done, and nothing
// before.
TEST_F(InputMachineTest, WithdrawAllAfterInitialScanOnly) {
  startMachine();
  while (parent_.sched->runOne()) {
  }
  machine_->doDeleteAll();
  EXPECT_TRUE(parent_.withdrawn.empty());
  parent_.done = true;
  machine_->doDeleteAll();
  EXPECT_EQ(parent_.withdrawn, inScanOrder());
}

using InputMachineDeathTest = InputMachineTest;

// A change the machine never heard of makes withdrawal fatal.
TEST_F(InputMachineDeathTest, WithdrawAllAfterMissedChange) {
  startMachine();
  while (parent_.sched->runOne()) {
  }
  parent_.done = true;
  input_->memberIsQuietly(42, 1);
  EXPECT_DEATH(machine_->doDeleteAll(), "missed a change");
}

}  // namespace

// Ostra: the input machine on a bare keyed input (resumable scan, bookmark, completion rule,
// task, zombie switch, withdrawal), the start-up hooks, the InReactor guard, SmControl.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "Ostra/InReactor.h"
#include "Ostra/InputMachine.h"
#include "Ostra/SmControl.h"
#include "Pondo/Publisher.h"
#include "Qel/HashMap2018.h"
#include "Velo/TaskScheduler.h"

namespace {

using Ostra::Gen::InputScanState;
using Keys = std::vector<U32>;
constexpr U16 membersAttr = 7;

/// An input: keys to values; memberIs publishes with `membersAttr`, changes to `members` not.
struct Input : Pondo::Node {
  Pondo::Publisher* publisher() const override { return &pub; }
  void memberIs(U32 key) {
    members.insertOrAssign(key, key);
    pub.publishChangeRecursive(membersAttr, &key, nullptr, nullptr);
  }
  mutable Pondo::Publisher pub;
  Qel::HashMap2018<U32, U32> members;
};

/// The parent: the initial-scan flag, the scheduler and what the machine emits.
struct Parent {
  bool initialScanDone() const { return done; }
  bool synchronous() const { return false; }
  const Pondo::Ptr<Velo::TaskScheduler>& scheduler() const { return sched; }
  Velo::TaskPriority priority() const { return 1; }
  bool done = false;
  Pondo::Ptr<Velo::TaskScheduler> sched = Pondo::make<Velo::TaskScheduler>();
  Keys emitted, withdrawn;
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
    withdrawAll(en()->members, "missed a change",
                [this](U32 key) { parent()->withdrawn.push_back(key); });
  }

 private:
  void onInputChange(const Pondo::Change& change) override {
    if (change.attribute == membersAttr) handle(*static_cast<const U32*>(change.key));
  }
  void handle(U32 key) {
    inputVersionIs(en()->members.version());
    parent()->emitted.push_back(key);
  }
  void scanEntered(InputScanState) override {}
  Walked scanFrom(bool resume) override {
    const auto& map = en()->members;
    const Walked walked = walk(resume ? map.iteratorFrom(inputScanBookmark()) : map.begin(),
                               [this](U32 key) { return handle(key), true; });
    inputVersionIs(map.version());
    return walked;
  }
  U64 scanCount() const override { return en()->members.count(); }
  void scanStopped(const Walked&, U64) override {}
  void scanEnded(bool, const Walked&) override { ++parent()->finished; }
};

class InputMachineTest : public ::testing::Test {
 protected:
  InputMachineTest() {
    for (U32 k = 1; k <= 6; ++k) input_->members.insertOrAssign(k, k);
    for (auto it = input_->members.begin(); !it.atEnd(); ++it) order_.push_back(it.key());
  }
  ~InputMachineTest() override { machine_->hasNotificationActiveIs(false); }
  void startMachine(U32 yieldAfterChecks) {
    parent_.sched->yieldAfterChecksIs(yieldAfterChecks);
    machine_ = Pondo::make<Machine>(input_, &parent_);
    machine_->hasNotificationActiveIs(true);
  }
  /// The scan state, whether the scan counts as complete, keys emitted, finishes, the task.
  auto state() const {
    return std::tuple(machine_->inputScanState(), machine_->inputScanComplete(), parent_.emitted,
                      parent_.finished, bool(machine_->task()));
  }

  Pondo::Ptr<Input> input_ = Pondo::make<Input>();
  Keys order_;
  Parent parent_;
  Pondo::Ptr<Machine> machine_;
};

// The new task's inline step yields; its runs handle every key once and the last step
// finishes. The initial scan counts as complete until the parent's is done; then withdrawal
// (before, nothing) takes back every member and a rescan ends `complete`, giving the task back.
TEST_F(InputMachineTest, ScanResumesCompletesAndWithdraws) {
  startMachine(2);
  EXPECT_EQ(state(), std::tuple(InputScanState::yielded, false, Keys{order_[0]}, 0, true));
  EXPECT_EQ(parent_.sched->runUntilIdle(), 3u) << "no empty step after the last key";
  EXPECT_EQ(state(), std::tuple(InputScanState::initialComplete, true, order_, 1, true));
  machine_->doDeleteAll();
  EXPECT_TRUE(parent_.withdrawn.empty());
  parent_.done = true;
  EXPECT_FALSE(machine_->inputScanComplete());
  machine_->doDeleteAll();
  EXPECT_EQ(parent_.withdrawn, order_);
  parent_.emitted.clear();
  machine_->doInputScan();
  parent_.sched->runUntilIdle();
  EXPECT_EQ(state(), std::tuple(InputScanState::complete, true, order_, 2, false));
}

// Never yields inside a reactor. A zombie hears neither its input nor its task, nor does an
// inactive machine; a change it never heard of makes withdrawal fatal.
TEST_F(InputMachineTest, ReactorZombieAndMissedChange) {
  startMachine(1);
  ASSERT_EQ(machine_->inputScanState(), InputScanState::yielded);
  machine_->inReactorIs(true);
  EXPECT_FALSE(machine_->shouldYield());
  machine_->inReactorIs(false);
  machine_->qelDoZombieReactors(true);
  EXPECT_TRUE(machine_->zombie());
  input_->memberIs(99);
  parent_.sched->runUntilIdle();
  EXPECT_EQ(parent_.emitted, Keys{order_[0]});
  machine_->qelDoZombieReactors(false);
  machine_->hasNotificationActiveIs(false);
  input_->memberIs(100);
  machine_->hasNotificationActiveIs(true);
  input_->memberIs(101);
  EXPECT_EQ(parent_.emitted, (Keys{order_[0], 101}));
  parent_.sched->runUntilIdle();
  parent_.done = true;
  input_->members.insertOrAssign(42, 1);
  EXPECT_DEATH(machine_->doDeleteAll(), "missed a change");
}

using Log = std::vector<std::string>;
using Ostra::Gen::InReactor;

/// Logs its hooks, noting whether the machine was already initialized when each ran.
struct Hooks : Ostra::Gen::InputStateMachine {
  Hooks(Log& log, bool& destroyed) : log(log), destroyed(destroyed) {}
  ~Hooks() override { destroyed = true; }
  const Qel::TypeData* typeData() const override { return nullptr; }
  bool initialScanDone() const override { return false; }
  void doInitializeTask() override { log.push_back(initialized() ? "task" : "task-early"); }
  void doInputScan() override {
    log.push_back(initialized() ? "scan" : "scan-early");
    if (auto f = duringScan) f();
  }
  void inReactorIs(bool in) override {
    log.push_back(in ? "in" : "out");
    InputStateMachine::inReactorIs(in);
  }
  bool synchronous() const override { return false; }
  Log& log;
  bool& destroyed;
  std::function<void()> duringScan;
};

// The task is made, then the first scan runs, once each and initialized, even when the scan
// asks again under a guard in the constructor. A guard sets the flag for its length (a nested
// one leaves it set), keeps a machine released meanwhile alive, and dies on one being destroyed.
TEST(InputStateMachineTest, StartUpAndInReactorGuard) {
  Log log;
  bool destroyed = false;
  struct Reacting : Hooks {
    Reacting(Log& log, bool& destroyed) : Hooks(log, destroyed) {
      duringScan = [this] {
        InReactor reactor(this);
        handleInitialized();
      };
      handleInitialized();
    }
  };
  Pondo::Ptr<Reacting> machine = Pondo::make<Reacting>(log, destroyed);
  machine->handleInitialized();
  EXPECT_EQ(machine->references(), 1u);
  EXPECT_EQ(log, (Log{"task", "scan", "in", "out"}));
  {
    InReactor outer(machine.get());
    { InReactor inner(machine.get()); }
    EXPECT_TRUE(machine->inReactor());
    machine.reset();
    EXPECT_FALSE(destroyed);
  }
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(log, (Log{"task", "scan", "in", "out", "in", "in", "in", "out"}));
  struct Dying : Hooks {
    using Hooks::Hooks;
    ~Dying() override { InReactor reactor(this); }
  };
  EXPECT_DEATH(Pondo::make<Dying>(log, destroyed).reset(), "not one being destroyed");
}

// Every scan state prints its name, a value outside the enumeration "unknown". SmControl copies
// compare equal and any single changed field makes a difference.
TEST(SmControlTest, StateNamesAndControlEquality) {
  std::ostringstream out;
  for (U8 v = 0; v < 5; ++v) out << static_cast<InputScanState>(v) << ' ';
  EXPECT_EQ(out.str(), "notStarted yielded complete initialComplete unknown ");
  using Ostra::SmControl;
  const SmControl base;
  Strobe::TraceHandle handle("SmTrace");
  std::vector<SmControl> changed(5, base);
  changed[0].schedulerIs(Pondo::make<Velo::TaskScheduler>());
  changed[1].qtHandleIs(&handle);
  changed[2].traceNameIs("IfTableSm");
  changed[3].priorityIs(4);
  changed[4].synchronousIs(SmControl::synchronousOff);
  for (const SmControl& c : changed) EXPECT_TRUE(c != base && SmControl(c) == c);
}

}  // namespace

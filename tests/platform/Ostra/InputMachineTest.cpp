// Ostra: the input machine on a bare keyed input (resumable scan, bookmark, completion rule,
// task, zombie switch, withdrawal), the start-up hooks, the InReactor guard, SmControl.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
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

// A yielded step bookmarks the next key not handled and the next step starts there, or at
// the key after it if the bookmarked key left meanwhile; every key is handled once, and the
// step that handles the last key finishes instead of yielding. The initial scan counts as
// complete until the parent's is done; then withdrawal takes back every member (before, it
// does nothing) and a new scan ends `complete` and gives the task back.
TEST_F(InputMachineTest, ScanResumesCompletesAndWithdraws) {
  parent_.sched->yieldAfterChecksIs(2);
  startMachine();  // the new task's inline step yields after one key: the work goes in runs
  Keys order = inScanOrder();
  EXPECT_EQ(machine_->inputScanState(), InputScanState::yielded);
  EXPECT_EQ(machine_->inputScanBookmark(), order[1]);
  EXPECT_EQ(parent_.emitted, Keys{order[0]});
  ASSERT_TRUE(parent_.sched->runOne());
  EXPECT_EQ(machine_->inputScanBookmark(), order[3]);
  EXPECT_EQ(parent_.emitted, Keys(order.begin(), order.begin() + 3));
  machine_->hasNotificationActiveIs(false);  // the removal is not handled as a change here
  input_->memberDel(order[3]);
  machine_->hasNotificationActiveIs(true);
  order.erase(order.begin() + 3);
  ASSERT_TRUE(parent_.sched->runOne());  // the second check comes with the last key
  EXPECT_EQ(parent_.emitted, order);
  EXPECT_EQ(machine_->inputScanState(), InputScanState::initialComplete);
  EXPECT_TRUE(machine_->inputScanComplete());
  EXPECT_EQ(parent_.finished, 1);
  EXPECT_TRUE(machine_->task()) << "the task stays for the rescan";
  EXPECT_FALSE(parent_.sched->runOne()) << "no empty step after the last key";
  machine_->doDeleteAll();
  EXPECT_TRUE(parent_.withdrawn.empty());
  parent_.done = true;
  EXPECT_FALSE(machine_->inputScanComplete());
  machine_->doDeleteAll();
  EXPECT_EQ(parent_.withdrawn, order);
  parent_.emitted.clear();
  machine_->doInputScan();
  while (parent_.sched->runOne()) {
  }
  EXPECT_EQ(parent_.emitted, order);
  EXPECT_EQ(machine_->inputScanState(), InputScanState::complete);
  EXPECT_TRUE(machine_->inputScanComplete());
  EXPECT_FALSE(machine_->task());
  EXPECT_EQ(parent_.finished, 2);
}

// Never yields inside a reactor. A zombie hears neither its input nor its task; deactivation
// also drops both subscriptions.
TEST_F(InputMachineTest, ReactorAndZombieRules) {
  parent_.sched->yieldAfterChecksIs(1);
  startMachine();
  ASSERT_EQ(machine_->inputScanState(), InputScanState::yielded);
  machine_->inReactorIs(true);
  EXPECT_FALSE(machine_->shouldYield());
  machine_->inReactorIs(false);
  machine_->qelDoZombieReactors(true);
  EXPECT_TRUE(machine_->zombie());
  const Keys before = parent_.emitted;
  input_->memberIs(99, 1);
  while (parent_.sched->runOne()) {
  }
  EXPECT_EQ(parent_.emitted, before);
  machine_->qelDoZombieReactors(false);
  machine_->hasNotificationActiveIs(false);
  EXPECT_FALSE(machine_->nodeFlag(Pondo::Node::Flag::hasNotificationActive));
  input_->memberIs(100, 1);
  EXPECT_EQ(parent_.emitted, before);
  machine_->hasNotificationActiveIs(true);
  EXPECT_TRUE(machine_->nodeFlag(Pondo::Node::Flag::hasNotificationActive));
  input_->memberIs(101, 1);
  EXPECT_EQ(parent_.emitted.back(), 101u);
}

// A change the machine never heard of makes withdrawal fatal.
TEST_F(InputMachineTest, WithdrawAllAfterMissedChangeDies) {
  startMachine();
  while (parent_.sched->runOne()) {
  }
  parent_.done = true;
  input_->memberIsQuietly(42, 1);
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

// The task is made, then the first scan runs, both once and with initialized() already true,
// even when the scan asks again, here from inside the constructor under a guard. The guard
// sets the flag for its length (a nested one leaves it set) and keeps a machine released
// meanwhile alive until it has cleared the flag.
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
}

// A guard taken on a machine being destroyed (its count already at zero) would destroy it a
// second time: it stops the process instead.
TEST(InputStateMachineTest, GuardOnMachineBeingDestroyedDies) {
  struct Dying : Hooks {
    using Hooks::Hooks;
    ~Dying() override { InReactor reactor(this); }
  };
  EXPECT_DEATH(
      {
        Log log;
        bool destroyed = false;
        Pondo::make<Dying>(log, destroyed).reset();
      },
      "not one being destroyed");
}

// Every scan state prints its name, a value outside the enumeration "unknown". SmControl's
// default runs nothing; copies compare equal and any single changed field makes a difference.
TEST(SmControlTest, StateNamesAndControlEquality) {
  std::ostringstream out;
  for (U8 v = 0; v < 5; ++v) out << static_cast<InputScanState>(v) << ' ';
  EXPECT_EQ(out.str(), "notStarted yielded complete initialComplete unknown ");
  using Ostra::SmControl;
  const SmControl base;
  EXPECT_TRUE(!base.scheduler() && !base.qtHandle() && base.traceName().empty());
  EXPECT_EQ(base.priority() + base.synchronous(), 0);
  Strobe::TraceHandle handle("SmTrace");
  for (const std::function<void(SmControl&)>& change :
       std::initializer_list<std::function<void(SmControl&)>>{
           [](SmControl& c) { c.schedulerIs(Pondo::make<Velo::TaskScheduler>()); },
           [&](SmControl& c) { c.qtHandleIs(&handle); },
           [](SmControl& c) { c.traceNameIs("IfTableSm"); },
           [](SmControl& c) { c.priorityIs(4); },
           [](SmControl& c) { c.synchronousIs(SmControl::synchronousOff); }}) {
    SmControl changed = base;
    EXPECT_EQ(changed, base);
    change(changed);
    EXPECT_NE(changed, base);
    EXPECT_EQ(SmControl(changed), changed);
  }
}

}  // namespace

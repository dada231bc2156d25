// Start-up sequence and flags of Ostra::Gen::InputStateMachine, the InReactor guard, and the
// names of the scan states.
#include "Ostra/InputStateMachine.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "Ostra/InReactor.h"
#include "Ostra/InputScanState.h"
#include "Pondo/Ptr.h"

namespace {

using Log = std::vector<std::string>;
using Ostra::Gen::InReactor;

// Logs its hooks, noting whether the machine was already initialized when each ran.
struct Machine : Ostra::Gen::InputStateMachine {
  Machine(Log& log, bool& destroyed) : log(log), destroyed(destroyed) {}
  ~Machine() override { destroyed = true; }
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

class InputStateMachineTest : public ::testing::Test {
 protected:
  Log log;
  bool destroyed = false;
  Pondo::Ptr<Machine> machine = Pondo::make<Machine>(log, destroyed);
};
using InReactorTest = InputStateMachineTest;

// The task is made, then the first scan runs, both once and with initialized() already true,
// even when the scan asks again.
TEST_F(InputStateMachineTest, HandleInitializedRunsTaskThenScanOnce) {
  EXPECT_FALSE(machine->initialized());
  machine->duringScan = [&] { machine->handleInitialized(); };
  machine->handleInitialized();
  machine->handleInitialized();
  EXPECT_EQ(log, (Log{"task", "scan"}));
}

// Notification activity is the node's own flag, apart from its zombie mark.
TEST_F(InputStateMachineTest, NotificationActiveIsTheNodeFlag) {
  machine->hasNotificationActiveIs(true);
  EXPECT_TRUE(machine->nodeFlag(Pondo::Node::Flag::hasNotificationActive));
  EXPECT_FALSE(machine->zombie());
}

// The guard sets the flag for its length; a nested guard leaves it set for the outer one.
TEST_F(InReactorTest, SetsAndRestoresTheFlag) {
  {
    InReactor outer(machine.get());
    { InReactor inner(machine.get()); }
    EXPECT_TRUE(machine->inReactor());
  }
  EXPECT_FALSE(machine->inReactor());
  EXPECT_EQ(log, (Log{"in", "in", "in", "out"}));
}

// A machine released elsewhere during the guard lives until the guard has cleared the flag.
TEST_F(InReactorTest, KeepsMachineAliveUntilItEnds) {
  {
    InReactor reactor(machine.get());
    machine.reset();
    EXPECT_FALSE(destroyed);
  }
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(log, (Log{"in", "out"}));
}

// A machine that reacts inside its own constructor (a change it publishes while it starts
// reaches its reactor) keeps living: it already holds its creator's reference.
TEST(InReactorDuringConstructionTest, GuardInConstructorKeepsMachine) {
  Log log;
  bool destroyed = false;
  struct Reacting : Machine {
    Reacting(Log& log, bool& destroyed) : Machine(log, destroyed) {
      duringScan = [this] { InReactor reactor(this); };
      handleInitialized();
    }
  };
  Pondo::Ptr<Reacting> machine = Pondo::make<Reacting>(log, destroyed);
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(machine->references(), 1u);
  EXPECT_EQ(log, (Log{"task", "scan", "in", "out"}));
  machine.reset();
  EXPECT_TRUE(destroyed);
}

// A guard taken on a machine that is being destroyed (its count already at zero) would destroy
// it a second time: it stops the process instead.
TEST(InReactorDeathTest, MachineBeingDestroyedDies) {
  struct Dying : Machine {
    using Machine::Machine;
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

// Every state prints its name; a value outside the enumeration prints "unknown".
TEST(InputScanStateTest, NamesPrint) {
  std::ostringstream out;
  for (U8 v = 0; v < 5; ++v) out << static_cast<Ostra::Gen::InputScanState>(v) << ' ';
  EXPECT_EQ(out.str(), "notStarted yielded complete initialComplete unknown ");
}

}  // namespace

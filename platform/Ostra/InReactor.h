// Ostra/InReactor.h — the guard a machine's reactor holds while it handles a change.
///
/// On entry it takes a reference to the machine and sets `inReactorIs(true)`; on exit it
/// restores the flag to what it was on entry (false unless guards nest), and only then lets go
/// of the reference. The machine therefore survives a reactor that releases it elsewhere,
/// and is destroyed, if that was its last reference, as the guard ends. A machine still in its
/// constructor already holds its creator's reference (Pondo/Node.h), so a reactor that runs
/// during construction is handled like any other.
///
///     void Machine::onIntfChange(const Pondo::Change& c) {
///       Ostra::Gen::InReactor reactor(this);
///       ...
///     }
#pragma once

#include "Ostra/InputStateMachine.h"
#include "Pondo/Assert.h"
#include "Pondo/Ptr.h"

namespace Ostra::Gen {

class InReactor {
 public:
  /// `machine` is alive: constructed or under construction, not being destroyed.
  explicit InReactor(InputStateMachine* machine) : machine_(machine) {
    // The guard's own reference is counted already: one more means someone else holds it.
    PONDO_ASSERT_MSG(machine && machine->references() > 1,
                     "InReactor needs a live machine, not one being destroyed");
    outer_ = machine_->inReactor();
    machine_->inReactorIs(true);
  }
  InReactor(const InReactor&) = delete;
  InReactor& operator=(const InReactor&) = delete;
  ~InReactor() { machine_->inReactorIs(outer_); }

 private:
  Pondo::Ptr<InputStateMachine> machine_;  // released after the destructor's body
  bool outer_ = false;
};

}  // namespace Ostra::Gen

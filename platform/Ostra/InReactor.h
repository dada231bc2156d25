// Ostra/InReactor.h — the guard a machine's reactor holds while it handles a change.
///
/// On entry it takes a reference to the machine and sets `inReactorIs(true)`; on exit it
/// restores the flag to what it was on entry (false unless guards nest), and only then lets go
/// of the reference. The machine therefore survives a reactor that releases it elsewhere,
/// and is destroyed, if that was its last reference, as the guard ends.
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
  /// `machine` is owned through `Pondo::Ptr` elsewhere.
  explicit InReactor(InputStateMachine* machine) : machine_(machine) {
    PONDO_ASSERT_MSG(machine && machine->references() > 1,
                     "InReactor needs a machine owned through Pondo::Ptr");
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

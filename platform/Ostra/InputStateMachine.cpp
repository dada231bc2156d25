// Ostra/InputStateMachine.cpp — the start-up sequence and the default hooks of a machine.
#include "Ostra/InputStateMachine.h"

namespace Ostra::Gen {

InputStateMachine::~InputStateMachine() = default;

void InputStateMachine::qelDoZombieReactors(bool) {}

void InputStateMachine::doInitializeTask() {}

void InputStateMachine::inReactorIs(bool inReactor) { inReactor_ = inReactor; }

bool InputStateMachine::inReactor() const { return inReactor_; }

void InputStateMachine::handleInitialized() {
  if (initialized_) return;
  initialized_ = true;
  doInitializeTask();
  doInputScan();
}

}  // namespace Ostra::Gen

// Ostra/InputStateMachine.h — the base of state machines that react to their inputs' changes.
///
/// A machine subscribes to its inputs' publishers (its reactors) and scans its inputs, in
/// steps run by a `Velo::Task` when the scan is long. Life cycle:
/// - construction: nothing runs yet; handlers and scans of the derived class do nothing while
///   `initialized()` is false.
/// - `handleInitialized()`: marks the machine initialized, then calls `doInitializeTask()` (the
///   derived class creates its task) and `doInputScan()` (the first scan starts), once.
/// - `hasNotificationActiveIs(bool)`: turns the reactors on and off. Derived classes override
///   it: they call this one, then add or remove their subscriptions.
/// - zombie (the node's markAndSweep flag): the machine is being torn down; derived
///   `qelDoZombieReactors(true)` sets the flag and its reactors stop reacting.
///
/// Re-entrancy: a reactor that may release the machine (directly or by a change it publishes)
/// holds an `InReactor` for its length, which keeps the machine alive and marks it busy. The
/// caller of `handleInitialized()` holds a reference to the machine for the length of the call.
/// Ostra/InputMachine.h builds the scan, task and subscription handling on this base.
#pragma once

#include "Pondo/Node.h"

namespace Qel {
class TypeData;
}

namespace Ostra::Gen {

class InputStateMachine : public Pondo::Node {
 public:
  ~InputStateMachine() override;

  /// The machine type's entry in the type registry.
  virtual const Qel::TypeData* typeData() const = 0;
  /// Marks the machine a zombie or not; the base does nothing.
  virtual void qelDoZombieReactors(bool zombie);
  virtual bool initialScanDone() const = 0;
  /// Scans (part of) the inputs; called once by `handleInitialized()`, then by the task.
  virtual void doInputScan() = 0;
  /// Creates the machine's task; the base does nothing.
  virtual void doInitializeTask();
  /// Whether a reactor of the machine is running; the base records it.
  virtual void inReactorIs(bool inReactor);
  virtual bool inReactor() const;
  /// Whether changes are handled in the reactor itself rather than by a later task run.
  virtual bool synchronous() const = 0;

  /// Marks the machine initialized, then calls `doInitializeTask()` and `doInputScan()`; a
  /// second call, also one made from either of them, does nothing.
  void handleInitialized();
  bool initialized() const noexcept { return initialized_; }

  /// Records whether the reactors are on; overrides add their subscriptions.
  virtual void hasNotificationActiveIs(bool active) {
    nodeFlagSet(Flag::hasNotificationActive, active);
  }
  bool hasNotificationActive() const noexcept { return Pondo::Node::hasNotificationActive(); }
  bool zombie() const noexcept { return markAndSweepFlag(); }

 private:
  bool initialized_ = false;
  bool inReactor_ = false;
};

}  // namespace Ostra::Gen

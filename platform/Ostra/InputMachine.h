// Ostra/InputMachine.h — the scaffolding every input machine shares, written once.
///
/// `InputMachine<Input, Key, Parent>` watches one input object `en` (a strong reference) whose
/// scanned collection is keyed by `Key`, and reports to `parent` (a plain pointer: the parent
/// owns the machine, and clears the pointer when it withdraws the machine). It holds the scan's
/// progress and bookmark, the input's version as last seen, the scan's job (Velo/Job.h: the
/// optional task and its runs) and the subscription on the input. Its `scanStep()` is every
/// machine's scan step; a derived machine states only what it scans, traces and emits:
/// - `onInputChange(change)`: a publication of the input, while the machine is not a zombie;
/// - `scanEntered`, `scanFrom`, `scanCount`, `scanStopped`, `scanEnded`: the parts of a step.
///
/// The rules the machines rely on:
/// 1. Bookmark. A scan walks its collection as `Velo::Job::walk` does (its rules 2 and 3):
///    after a yield the next step resumes at the first key at or after the bookmark, whether
///    the bookmarked key is still there or not; a scan whose last key has been handled
///    finishes instead of yielding.
/// 2. Completion. The first full scan ends in `initialComplete`, which counts as complete until
///    the parent's initial scan is done; each machine reaches it before the parent's handshake.
///    The handshake scans again from the first key; that scan ends in `complete` and gives the
///    task back. From then on only publications drive the machine.
/// 3. Suspension. A machine scanned inside another one's step owns no task: it yields when
///    that task asks (`scanTask()`), and the outer machine then suspends on it (its bookmark is
///    the inner machine's key, not counted as handled) and resumes it on its next step.
/// 4. Zombie. A machine being torn down is marked a zombie; its subscribers then ignore both
///    publications and task runs.
/// 5. Withdrawal. `withdrawAll` takes back everything the scans emitted; it requires that the
///    machine has seen every change of its input (the version it noted equals the input's),
///    and otherwise stops with the missed-change assertion.
///
/// Yielding never happens inside a reactor (`inReactor()`), nor without a task. Single thread.
#pragma once

#include "Ostra/InputScanState.h"
#include "Ostra/InputStateMachine.h"
#include "Pondo/Assert.h"
#include "Pondo/Ptr.h"
#include "Pondo/Publisher.h"
#include "Pondo/String.h"
#include "Velo/Job.h"
#include "Velo/Task.h"
#include "Velo/TaskPriority.h"
#include "Velo/TaskScheduler.h"

namespace Ostra::Gen {

/// Whether a scan in `state` counts as complete (rule 2).
constexpr bool scanComplete(InputScanState state, bool parentInitialScanDone) noexcept {
  return state == InputScanState::complete ||
         (state == InputScanState::initialComplete && !parentInitialScanDone);
}

template <class Input, class Key, class Parent>
class InputMachine : public InputStateMachine {
 public:
  using InputPtr = Pondo::Ptr<const Input>;

  /// Deactivates, marks a zombie, leaves the input and gives the task back.
  ~InputMachine() override {
    stop();
    taskDel();
  }

  const InputPtr& en() const noexcept { return en_; }
  Parent* parent() const noexcept { return parent_; }
  void parentIs(Parent* parent) noexcept { parent_ = parent; }

  // ---- scan progress (rules 1 and 2) ----
  const Key& inputScanBookmark() const noexcept { return bookmark_; }
  void inputScanBookmarkIs(const Key& key) { bookmark_ = key; }
  InputScanState inputScanState() const noexcept { return scanState_; }
  void inputScanStateIs(InputScanState state) noexcept { scanState_ = state; }
  bool inputScanComplete() const { return scanComplete(scanState_, initialScanDone()); }
  /// The version of the scanned collection as of the last change this machine has seen.
  U32 inputVersion() const noexcept { return version_; }
  void inputVersionIs(U32 version) noexcept { version_ = version; }

  // ---- scan task ----
  const Pondo::Ptr<Velo::Task>& task() const noexcept { return job_.task(); }
  /// Keeps the task when it runs on `scheduler` under `name` (only its priority is set);
  /// otherwise replaces it with a new, subscribed task and runs one scan step at once.
  Pondo::Ptr<Velo::Task> taskIs(const Pondo::Ptr<Velo::TaskScheduler>& scheduler,
                                Velo::TaskPriority priority, const Pondo::String& name) {
    if (job_.taskIs(scheduler, priority, name)) scanStep();
    return job_.task();
  }
  /// Detaches the task, unsubscribed, and returns it.
  Pondo::Ptr<Velo::Task> taskDel() { return job_.taskDel(); }
  /// The task the scans run in: the machine's own, or the outer machine's (rule 3).
  virtual Velo::Task* scanTask() const { return job_.task().get(); }
  bool shouldYield() const {
    const Velo::Task* task = scanTask();
    return task && !inReactor() && task->taskShouldYield();
  }
  bool inTask() const {
    const Velo::Task* task = scanTask();
    return task && task->taskCurrentlyRunning();
  }

  /// One scan step (rules 1 to 3): nothing before initialisation or when no scan is pending;
  /// else a walk from the bookmark (after a yield) or from the first key, which either stops
  /// early, reporting to the task, or ends the scan.
  void scanStep() {
    if (!initialized()) return;
    const InputScanState entry = scanState_;
    scanEntered(entry);
    if (!scanPending(entry)) return;
    const Walked walked = scanFrom(entry == InputScanState::yielded);
    if (walked.finished()) {
      scanEnded(scanFinished(), walked);
      return;
    }
    scanState_ = InputScanState::yielded;
    bookmark_ = *walked.bookmark;
    const U64 total = scanCount();
    scanStopped(walked, total);
    if (!job_.task()) return;
    job_.task()->taskWorkPendingIs(total);
    job_.yieldAfter(walked.visited);
  }

  // ---- runtime hooks ----
  bool initialScanDone() const override { return parent_ && parent_->initialScanDone(); }
  bool synchronous() const override { return parent_ && parent_->synchronous(); }
  /// The runtime's hook, then the node's mark (rule 4).
  void qelDoZombieReactors(bool zombie) override {
    if (this->zombie() == zombie) return;
    InputStateMachine::qelDoZombieReactors(zombie);
    markAndSweepFlagSet(zombie);
  }
  /// Subscribes to the input and the task exactly while active.
  void hasNotificationActiveIs(bool active) override {
    if (hasNotificationActive() == active) return;
    InputStateMachine::hasNotificationActiveIs(active);
    if (en_) subscriptionIs(enSubscriber_, en_->publisher(), active);
    job_.listeningIs(active);
  }

 protected:
  using Walked = Velo::Walked<Key>;

  /// Takes the input and subscribes to it; the derived constructor then calls `start()`.
  InputMachine(const InputPtr& input, Parent* parent) : en_(input), parent_(parent) {
    if (en_) en_->publisher()->subscriberAdd(enSubscriber_, false);
  }
  /// Starts the machine (`handleInitialized`); an exception leaves no subscription behind.
  void start() {
    try {
      handleInitialized();
    } catch (...) {
      enSubscriber_.unsubscribe();
      job_.taskDel();
      throw;
    }
  }
  /// The first steps of teardown: deactivate, mark a zombie, leave the input.
  void stop() {
    hasNotificationActiveIs(false);
    qelDoZombieReactors(true);
    enSubscriber_.unsubscribe();
  }

  virtual void onInputChange(const Pondo::Change& change) = 0;
  /// A step has begun with the scan in `entry`.
  virtual void scanEntered(InputScanState entry) = 0;
  /// Walks the collection (`walk`), from the bookmark when `resume`, else from the first key.
  virtual Walked scanFrom(bool resume) = 0;
  /// The collection's size.
  virtual U64 scanCount() const = 0;
  /// The step stopped early, with `total` keys in the collection; the task is told after.
  virtual void scanStopped(const Walked& walked, U64 total) = 0;
  /// The scan ended; `initial` when it was the initial one (rule 2).
  virtual void scanEnded(bool initial, const Walked& walked) = 0;

  /// Creates the scan task on the parent's scheduler and priority, unless synchronous.
  void taskFromParent(const char* name) {
    if (synchronous() || !parent_) return;
    taskIs(parent_->scheduler(), parent_->priority(), name);
  }
  /// The runtime's scan entry: schedules the task when there is one to run in, else scans now.
  void scanInTaskOrNow() {
    const Pondo::Ptr<Velo::Task>& task = job_.task();
    if (!synchronous() && task && task->taskScheduler()) {
      task->scheduleTask();
      return;
    }
    scanStep();
  }
  /// Whether a step that finds the scan in `entry` has anything to do (rule 2).
  bool scanPending(InputScanState entry) const {
    if (entry == InputScanState::complete) return false;
    if (entry == InputScanState::initialComplete && !initialScanDone()) return false;
    PONDO_ASSERT_MSG(en_,
                     "en() && \"Sm args can only be null if marked as Optional in the SM type "
                     "declaration\"");
    return true;
  }

  /// Walks from `it`, yielding when `shouldYield()` says so; `visit(key)` false suspends the
  /// scan on that key (rule 3).
  template <class Iterator, class Visit>
  Walked walk(Iterator it, Visit&& visit) {
    return Velo::Job::walk(
        std::move(it), [&visit](const Iterator& at) { return visit(at.key()); },
        [this] { return shouldYield(); });
  }
  /// Ends a full scan (rule 2); true when it was the initial one.
  bool scanFinished() {
    if (initialScanDone()) {
      scanState_ = InputScanState::complete;
      taskDel();
      return false;
    }
    scanState_ = InputScanState::initialComplete;
    return true;
  }

  /// Withdraws every member of `collection` through `withdraw(key)` (rule 5): nothing before
  /// the parent's initial scan is done, since nothing was emitted yet.
  template <class Collection, class Withdraw>
  void withdrawAll(const Collection& collection, const char* missedChange, Withdraw&& withdraw) {
    if (!initialScanDone()) return;
    PONDO_ASSERT_MSG(version_ == collection.version(), missedChange);
    for (auto it = collection.begin(); !it.atEnd(); ++it) withdraw(it.key());
  }

 private:
  static void subscriptionIs(Pondo::Subscriber& slot, Pondo::Publisher* publisher, bool active) {
    if (active == slot.subscribed()) return;
    if (active) {
      publisher->subscriberAdd(slot, false);
      return;
    }
    slot.unsubscribe();
  }

  void enDispatch(const Pondo::Change& change) {
    if (zombie()) return;
    onInputChange(change);
  }
  void taskRun() {
    if (zombie()) return;
    const Pondo::Ptr<InputStateMachine> self(this);  // the run may release the last owner
    scanStep();
  }

  InputPtr en_;
  Pondo::Subscriber enSubscriber_{this, Pondo::memberHandler<&InputMachine::enDispatch>};
  Parent* parent_;
  Key bookmark_{};
  InputScanState scanState_ = InputScanState::notStarted;
  U32 version_ = 0;
  Velo::Job job_{this, Velo::memberStep<&InputMachine::taskRun>};
};

}  // namespace Ostra::Gen

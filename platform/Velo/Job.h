// Velo/Job.h — one piece of work done in task runs: its task, its runs and its resumable walks.
///
/// A `Job` is the part of an owner that works in slices. It owns at most one task, hears that
/// task's runs while listening and calls the owner's step for each; the step walks what it has
/// to walk with `walk`, which stops when the scheduler asks and says where to resume.
///
/// Rules:
/// 1. Runs. `taskIs` makes the task (or keeps it, see there) and listens to it; each change the
///    task publishes with `Task::runAttribute` calls the owner's step, other attributes are
///    ignored. `listeningIs(false)` stops the calls without dropping the task or its place in
///    the queue. The owner's step keeps the owner alive for its length if it may release it.
/// 2. Bookmark. `walk` visits the members an iterator reaches, in the collection's order.
///    After each visited member it asks `yield()` once, the last member included; when the
///    answer is yes and members remain, it stops and its bookmark is the next key, not yet
///    visited. A visit may also refuse its member: the walk stops at once and the bookmark is
///    that member's key (it is visited again on resumption). A walk that reaches the end
///    finishes and has no bookmark.
/// 3. Resumption. The owner resumes with an iterator at the first key at or after the bookmark
///    (`iteratorFrom`, `iteratorAt`). The collection may change between runs, so:
///    - the bookmarked key removed meanwhile: the walk goes on at the key that followed it;
///    - keys inserted behind the bookmark are not visited by this walk, keys inserted ahead of
///      it are; every key present throughout is visited exactly once.
///    An index over an array that does not change (`IndexCursor`) resumes the same way; work
///    that keeps its own place (a parser, say) runs in `stepUntil`, asked to yield likewise.
/// 4. Yield and cancellation. `yieldAfter` counts the work of a run and schedules the next
///    one; nothing else is kept between runs but the owner's bookmark. `cancel` drops the
///    pending run; `taskDel` gives the task back unheard. Destroying the job does both.
///
/// Ownership: the job owns its task through `Pondo::Ptr` and is owned by its owner, which it
/// refers to with a plain pointer; the owner outlives the job. Single thread.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>

#include "Pondo/Ptr.h"
#include "Pondo/Publisher.h"
#include "Pondo/String.h"
#include "Velo/Task.h"

namespace Velo {

/// An iterator over the indexes [at, end) of an array that keeps its size while walked.
class IndexCursor {
 public:
  IndexCursor(std::size_t at, std::size_t end) noexcept : at_(at), end_(end) {}
  bool atEnd() const noexcept { return at_ >= end_; }
  std::size_t key() const noexcept { return at_; }
  IndexCursor& operator++() noexcept {
    ++at_;
    return *this;
  }

 private:
  std::size_t at_;
  std::size_t end_;
};

/// The key of the member an iterator is on: `key()`, or the member's own `key()`.
template <class Iterator>
decltype(auto) keyOf(const Iterator& it) {
  if constexpr (requires { it.key(); }) {
    return it.key();
  } else {
    return it->key();
  }
}

enum class WalkEnd : U8 { finished, yielded, refused };

/// How a walk stopped: the members visited and, unless finished, the key to resume from.
template <class Key>
struct Walked {
  WalkEnd end = WalkEnd::finished;
  U64 visited = 0;
  std::optional<Key> bookmark;
  bool finished() const noexcept { return end == WalkEnd::finished; }
};

class Job {
 public:
  using Step = void (*)(void* owner);

  /// `step(owner)` runs once per run of the task.
  Job(void* owner, Step step) noexcept : owner_(owner), step_(step) {}
  ~Job() { cancel(); }
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  const Pondo::Ptr<Task>& task() const noexcept { return task_; }
  /// Keeps the task when it runs on `scheduler` under `name`, setting its priority; otherwise
  /// replaces it with a new one and listens to it. True when a new task was made.
  bool taskIs(const Pondo::Ptr<TaskScheduler>& scheduler, TaskPriority priority,
              const Pondo::String& name) {
    if (task_) {
      task_->taskPriorityIs(priority);
      if (task_->taskScheduler() == scheduler && task_->taskName() == name) return false;
    }
    listener_.unsubscribe();
    task_ = Pondo::make<Task>(scheduler, priority, name);
    task_->publisher()->subscriberAdd(listener_, false);
    return true;
  }
  /// Gives the task back, no longer heard; it keeps its place in the queue.
  Pondo::Ptr<Task> taskDel() noexcept {
    listener_.unsubscribe();
    return std::move(task_);
  }
  /// Hears the task's runs exactly while `listening`.
  void listeningIs(bool listening) {
    if (!task_ || listening == listener_.subscribed()) return;
    if (listening) {
      task_->publisher()->subscriberAdd(listener_, false);
      return;
    }
    listener_.unsubscribe();
  }

  /// Asks for a run; nothing without a task.
  void schedule() noexcept {
    if (task_) task_->scheduleTask();
  }
  /// Drops the pending run, if any.
  void cancel() noexcept {
    if (task_) task_->unscheduleTask();
  }
  /// Whether the current run should end; false without a task (the work then runs inline).
  bool shouldYield() const noexcept { return task_ && task_->taskShouldYield(); }
  /// Ends a run early: counts `work` items done and asks for the next run.
  void yieldAfter(U64 work) noexcept {
    if (!task_) return;
    task_->taskWorkCountInc(work);
    task_->scheduleTask();
  }

  /// Walks from `it` (rule 2): `visit(it)` for each member, false to refuse it; `yield()` after
  /// each visited member.
  template <class Iterator, class Visit, class Yield>
  static auto walk(Iterator it, Visit&& visit, Yield&& yield) {
    using Key = std::decay_t<decltype(keyOf(it))>;
    Walked<Key> walked;
    while (!it.atEnd()) {
      if (!visit(it)) {
        walked.end = WalkEnd::refused;
        walked.bookmark.emplace(keyOf(it));
        return walked;
      }
      ++walked.visited;
      const bool stop = yield();
      ++it;
      if (!stop || it.atEnd()) continue;
      walked.end = WalkEnd::yielded;
      walked.bookmark.emplace(keyOf(it));
      return walked;
    }
    return walked;
  }
  /// Runs `step()` until it reports the end (false) or `yield()`, asked after every step that
  /// did work, says stop; true at the end. The owner keeps its place between calls.
  template <class StepFn, class Yield>
  static bool stepUntil(StepFn&& step, Yield&& yield) {
    while (step()) {
      if (yield()) return false;
    }
    return true;
  }
  /// A walk that yields when this job's run should end.
  template <class Iterator, class Visit>
  auto walk(Iterator it, Visit&& visit) const {
    return walk(std::move(it), std::forward<Visit>(visit), [this] { return shouldYield(); });
  }

 private:
  void onChange(const Pondo::Change& change) {
    if (change.attribute == Task::runAttribute) step_(owner_);
  }

  void* owner_;
  Step step_;
  Pondo::Ptr<Task> task_;
  Pondo::Subscriber listener_{this, Pondo::memberHandler<&Job::onChange>};
};

/// The `Job::Step` that calls member `M` (`void T::m()`) of the owner:
///   `Velo::Job job_{this, Velo::memberStep<&Owner::step>};`
template <auto M>
void memberStep(void* owner) {
  using T = typename Pondo::Impl::MemberOf<decltype(M)>::type;
  (static_cast<T*>(owner)->*M)();
}

}  // namespace Velo

// host/switchstate/StateApplier.h — publishes the differences between a state file and the live
// inputs.
///
/// Only what differs is published, through the models' own mutators, so the plug-in receives
/// the change notifications a switch would send. The comparison is made against the live
/// `IfMib` map and `Status` entities; no copy of the state is kept once it is applied.
///
/// Order of publication, chosen so that the plug-in's table ends exactly as the file says:
/// 1. withdrawals: status entities absent from the file are removed from the slice directory;
///    status entries absent from their entity are removed, and so are those of an interface
///    whose ifIndex changes or goes (the machine keeps an interface's rows when only its
///    ifIndex goes, and would keep them under the old ifIndex when it changes);
/// 2. ifIndexes absent from the file are removed;
/// 3. ifIndexes new or changed are set;
/// 4. status entities new in the file are added, then every status entry new or changed is
///    published as a new `IntfStatus`, and those withdrawn in step 1 are published again.
/// Hence an interface leaving the file loses its status entries before its ifIndex, and an
/// ifIndex moving from one interface to another leaves its first owner before the second
/// takes it. Likewise an interface moving from one status entity to another leaves the first
/// before the second publishes it: the machine deletes an interface's rows whenever an entity
/// withdraws its status, so the other order would leave none. This needs the live state to
/// give an interface's status in one entity at most, which the reader promises for a file.
///
/// In task runs, every step checks `taskShouldYield()` after each item and resumes later
/// from a bookmark (a name for the live collections, an index for the file), so neither the
/// comparison nor the publication holds the thread for long. A new target given while one
/// is being applied restarts the steps from the beginning: the newest file is the truth.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "Bridging/Status.h"
#include "Lumo/IntfId.h"
#include "Pondo/Publisher.h"
#include "StateFile.h"
#include "SwitchInputs.h"
#include "Velo/Job.h"

namespace Host {

class StateApplier {
 public:
  static constexpr Velo::TaskPriority taskPriority = 2;

  /// `applied` is called each time a target has been applied completely.
  StateApplier(const SwitchInputs& inputs, std::function<void()> applied);
  StateApplier(const StateApplier&) = delete;
  StateApplier& operator=(const StateApplier&) = delete;

  /// Applies `target` completely before returning, dropping any target under way.
  void applyNow(std::unique_ptr<StateFile> target);
  /// Applies `target` in task runs, from the beginning even when another is under way.
  void applyInTasks(std::unique_ptr<StateFile> target);
  bool applying() const noexcept { return target_ != nullptr; }

 private:
  enum class Step : U8 { withdraw, ifIndexRemove, ifIndexSet, statusSet };

  void restart(std::unique_ptr<StateFile> target);
  void onRun();
  /// Works until done (true) or told to yield (false, bookmarks set).
  bool advance();
  bool withdraw();
  /// Withdraws the entries of one live entity; false when told to yield.
  bool withdrawEntries(Bridging::StormControl::Status& status, const StateFile::Entity& wanted);
  bool removeIfIndexes();
  bool setIfIndexes();
  bool setStatus();
  /// Counts one item of work; true when the current run should end.
  bool yieldNow();
  void finish();

  /// Whether the live ifIndex of `id` is present and the file gives it another or none.
  bool ifIndexChanges(const Lumo::IntfId& id) const;

  SwitchInputs inputs_;
  std::function<void()> applied_;
  std::unique_ptr<StateFile> target_;
  Velo::Job job_{this, Velo::memberStep<&StateApplier::onRun>};
  bool inTasks_ = false;

  // Bookmarks: the next live member to look at (absent: from the start), the next file index.
  Step step_ = Step::withdraw;
  std::optional<Pondo::String> nextEntity_;
  std::optional<Pondo::String> nextEntry_;
  std::optional<Lumo::IntfId> nextIntf_;
  std::size_t index_ = 0;
  std::size_t subIndex_ = 0;
};

}  // namespace Host

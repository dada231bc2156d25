// host/switchstate/StateApplier.cpp — the four steps of applying a state file, each resumable.
#include "StateApplier.h"

#include <utility>

namespace Host {

using Bridging::StormControl::IntfStatus;
using Bridging::StormControl::Status;

namespace {

/// The status entity named `name` in `dir`, or null (also when it is of another type).
Pondo::Ptr<Status> liveStatus(const Qel::Dir& dir, const Pondo::String& name) {
  const auto it = dir.entityPtrIteratorConst(name);
  if (it.atEnd() || it.key() != name) return nullptr;
  return Pondo::dynamicPtrCast<Status>(it.value());
}

}  // namespace

StateApplier::StateApplier(const SwitchInputs& inputs, std::function<void()> applied)
    : inputs_(inputs), applied_(std::move(applied)) {}

StateApplier::~StateApplier() {
  taskSubscriber_.unsubscribe();
  if (task_) task_->unscheduleTask();
}

void StateApplier::applyNow(std::unique_ptr<StateFile> target) {
  if (task_) task_->unscheduleTask();
  inTasks_ = false;
  restart(std::move(target));
  advance();
  finish();
}

void StateApplier::applyInTasks(std::unique_ptr<StateFile> target) {
  if (!task_) {
    task_ = Pondo::make<Velo::Task>(inputs_.scheduler, taskPriority,
                                    Pondo::String("Host::StateApplier"));
    task_->publisher()->subscriberAdd(taskSubscriber_, false);
  }
  inTasks_ = true;
  restart(std::move(target));
  task_->scheduleTask();
}

void StateApplier::restart(std::unique_ptr<StateFile> target) {
  target_ = std::move(target);
  step_ = Step::withdraw;
  nextEntity_.reset();
  nextEntry_.reset();
  nextIntf_.reset();
  index_ = 0;
  subIndex_ = 0;
}

void StateApplier::onRun(const Pondo::Change& change) {
  if (change.attribute != Velo::Task::runAttribute || !target_) return;
  if (!advance()) {
    task_->scheduleTask();
    return;
  }
  finish();
}

void StateApplier::finish() {
  target_.reset();
  if (applied_) applied_();
}

bool StateApplier::yieldNow() {
  if (!inTasks_) return false;
  task_->taskWorkCountInc(1);
  return task_->taskShouldYield();
}

bool StateApplier::advance() {
  for (;;) {
    switch (step_) {
      case Step::withdraw:
        if (!withdraw()) return false;
        step_ = Step::ifIndexRemove;
        break;
      case Step::ifIndexRemove:
        if (!removeIfIndexes()) return false;
        step_ = Step::ifIndexSet;
        break;
      case Step::ifIndexSet:
        if (!setIfIndexes()) return false;
        step_ = Step::statusSet;
        index_ = 0;
        subIndex_ = 0;
        break;
      case Step::statusSet:
        return setStatus();
    }
  }
}

bool StateApplier::ifIndexChanges(const Lumo::IntfId& id) const {
  const U32Optional live = inputs_.ifMib->ifIndexByIntfId(id);
  if (!live) return false;
  const std::optional<U32> wanted = target_->ifIndex(id.stringValue().view());
  return !wanted || *wanted != live.value();
}

bool StateApplier::withdraw() {
  Qel::Dir& dir = *inputs_.slice;
  auto it = nextEntity_ ? dir.entityPtrIteratorConst(*nextEntity_) : dir.entityPtrIteratorConst();
  if (it.atEnd() || !nextEntity_ || it.key() != *nextEntity_) nextEntry_.reset();
  while (!it.atEnd()) {
    const Pondo::String name = it.key();
    const Pondo::Ptr<Status> status = Pondo::dynamicPtrCast<Status>(it.value());
    const StateFile::Entity* wanted = target_->entity(name.view());
    if (!wanted) {
      dir.entityDel(name);
    } else if (status && !withdrawEntries(*status, *wanted)) {
      nextEntity_ = name;
      return false;
    }
    ++it;
    nextEntry_.reset();
    if (!it.atEnd() && yieldNow()) {
      nextEntity_ = it.key();
      return false;
    }
  }
  return true;
}

bool StateApplier::withdrawEntries(Status& status, const StateFile::Entity& wanted) {
  const Status::IntfStatusMap& entries = status.intfStatus();
  auto it = nextEntry_ ? entries.iteratorFrom(*nextEntry_) : entries.begin();
  while (!it.atEnd()) {
    const Pondo::String intfName = it.key();
    ++it;
    if (!target_->entry(wanted, intfName.view()) || ifIndexChanges(Lumo::IntfId(intfName))) {
      status.intfStatusDel(intfName);
    }
    if (!it.atEnd() && yieldNow()) {
      nextEntry_ = it.key();
      return false;
    }
  }
  return true;
}

bool StateApplier::removeIfIndexes() {
  IntfSnmp::IfMib& ifMib = *inputs_.ifMib;
  const IntfSnmp::IfMib::IfIndexMap& map = ifMib.ifIndexByIntfId();
  auto it = nextIntf_ ? map.iteratorFrom(*nextIntf_) : map.begin();
  while (!it.atEnd()) {
    const Lumo::IntfId id = it.key();
    ++it;
    if (!target_->ifIndex(id.stringValue().view())) ifMib.ifIndexByIntfIdDel(id);
    if (!it.atEnd() && yieldNow()) {
      nextIntf_ = it.key();
      return false;
    }
  }
  return true;
}

bool StateApplier::setIfIndexes() {
  IntfSnmp::IfMib& ifMib = *inputs_.ifMib;
  const auto& interfaces = target_->interfaces();
  while (index_ < interfaces.size()) {
    const StateFile::Interface& intf = interfaces[index_++];
    const Lumo::IntfId id{Pondo::String(intf.name)};
    const U32Optional live = ifMib.ifIndexByIntfId(id);
    if (!live || live.value() != intf.ifIndex) ifMib.ifIndexByIntfIdIs(id, intf.ifIndex);
    if (index_ < interfaces.size() && yieldNow()) return false;
  }
  return true;
}

bool StateApplier::setStatus() {
  Qel::Dir& dir = *inputs_.slice;
  const auto& entities = target_->entities();
  while (index_ < entities.size()) {
    const StateFile::Entity& wanted = entities[index_];
    const Pondo::String entityName(wanted.name);
    Pondo::Ptr<Status> status = liveStatus(dir, entityName);
    if (!status) {
      status = Pondo::make<Status>(entityName);
      dir.entityIs(status);
    }
    const std::span<const StateFile::Entry> entries = target_->entries(wanted);
    while (subIndex_ < entries.size()) {
      const StateFile::Entry& entry = entries[subIndex_++];
      const Pondo::String intfName(entry.intfName);
      const Pondo::Ptr<const IntfStatus> live = status->intfStatus(intfName);
      if (!live || live->classes() != entry.classes) {
        status->intfStatusIs(intfName, Pondo::make<IntfStatus>(intfName, entry.classes));
      }
      if (yieldNow()) return false;
    }
    ++index_;
    subIndex_ = 0;
    if (index_ < entities.size() && yieldNow()) return false;
  }
  return true;
}

}  // namespace Host

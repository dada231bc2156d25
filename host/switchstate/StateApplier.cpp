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

/// `name`, sharing the text of the interface MIB's key for that interface when it has one: a
/// name is then stored once however many entities hold it.
Pondo::String sharedName(const IntfSnmp::IfMib& ifMib, const Pondo::String& name) {
  const auto it = ifMib.ifIndexByIntfId().iteratorFrom(Lumo::IntfId(name));
  if (it.atEnd() || it.key().stringValue() != name) return name;
  return it.key().stringValue();
}

}  // namespace

StateApplier::StateApplier(const SwitchInputs& inputs, std::function<void()> applied)
    : inputs_(inputs), applied_(std::move(applied)) {}

void StateApplier::applyNow(std::unique_ptr<StateFile> target) {
  job_.cancel();
  inTasks_ = false;
  restart(std::move(target));
  advance();
  finish();
}

void StateApplier::applyInTasks(std::unique_ptr<StateFile> target) {
  job_.taskIs(inputs_.scheduler, taskPriority, Pondo::String("Host::StateApplier"));
  inTasks_ = true;
  restart(std::move(target));
  job_.schedule();
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

void StateApplier::onRun() {
  if (!target_) return;
  if (!advance()) {
    job_.schedule();
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
  job_.task()->taskWorkCountInc(1);
  return job_.shouldYield();
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
  // An entity whose entries yield is refused: the walk resumes at it, with `nextEntry_`.
  const auto walked = Velo::Job::walk(
      it,
      [this, &dir](const Qel::Dir::Iterator& at) {
        const Pondo::String name = at.key();
        const Pondo::Ptr<Status> status = Pondo::dynamicPtrCast<Status>(at.value());
        const StateFile::Entity* wanted = target_->entity(name.view());
        if (!wanted) {
          dir.entityDel(name);
        } else if (status && !withdrawEntries(*status, *wanted)) {
          return false;
        }
        nextEntry_.reset();
        return true;
      },
      [this] { return yieldNow(); });
  nextEntity_ = walked.bookmark;
  return walked.finished();
}

bool StateApplier::withdrawEntries(Status& status, const StateFile::Entity& wanted) {
  const Status::IntfStatusMap& entries = status.intfStatus();
  const auto walked = Velo::Job::walk(
      nextEntry_ ? entries.iteratorFrom(*nextEntry_) : entries.begin(),
      [&](const Status::IntfStatusMap::Iterator& at) {
        const Pondo::String intfName = at.key();
        if (!target_->entry(wanted, intfName.view()) || ifIndexChanges(Lumo::IntfId(intfName))) {
          status.intfStatusDel(intfName);
        }
        return true;
      },
      [this] { return yieldNow(); });
  nextEntry_ = walked.bookmark;
  return walked.finished();
}

bool StateApplier::removeIfIndexes() {
  IntfSnmp::IfMib& ifMib = *inputs_.ifMib;
  const IntfSnmp::IfMib::IfIndexMap& map = ifMib.ifIndexByIntfId();
  const auto walked = Velo::Job::walk(
      nextIntf_ ? map.iteratorFrom(*nextIntf_) : map.begin(),
      [&](const IntfSnmp::IfMib::IfIndexMap::Iterator& at) {
        const Lumo::IntfId id = at.key();
        if (!target_->ifIndex(id.stringValue().view())) ifMib.ifIndexByIntfIdDel(id);
        return true;
      },
      [this] { return yieldNow(); });
  nextIntf_ = walked.bookmark;
  return walked.finished();
}

bool StateApplier::setIfIndexes() {
  IntfSnmp::IfMib& ifMib = *inputs_.ifMib;
  const auto& interfaces = target_->interfaces();
  const auto walked = Velo::Job::walk(
      Velo::IndexCursor(index_, interfaces.size()),
      [&](const Velo::IndexCursor& at) {
        const StateFile::Interface& intf = interfaces[at.key()];
        const Lumo::IntfId id{Pondo::String(intf.name)};
        const U32Optional live = ifMib.ifIndexByIntfId(id);
        if (!live || live.value() != intf.ifIndex) ifMib.ifIndexByIntfIdIs(id, intf.ifIndex);
        return true;
      },
      [this] { return yieldNow(); });
  index_ = walked.bookmark.value_or(interfaces.size());
  return walked.finished();
}

bool StateApplier::setStatus() {
  Qel::Dir& dir = *inputs_.slice;
  const auto& entities = target_->entities();
  const auto yield = [this] { return yieldNow(); };
  // An entity whose entries yield is refused: the walk resumes at it, from `subIndex_`.
  const auto walked = Velo::Job::walk(
      Velo::IndexCursor(index_, entities.size()),
      [&](const Velo::IndexCursor& at) {
        const StateFile::Entity& wanted = entities[at.key()];
        const Pondo::String entityName(wanted.name);
        Pondo::Ptr<Status> status = liveStatus(dir, entityName);
        if (!status) {
          status = Pondo::make<Status>(entityName);
          dir.entityIs(status);
        }
        const std::span<const StateFile::Entry> entries = target_->entries(wanted);
        const auto inner = Velo::Job::walk(
            Velo::IndexCursor(subIndex_, entries.size()),
            [&](const Velo::IndexCursor& e) {
              const StateFile::Entry& entry = entries[e.key()];
              const Pondo::String intfName(entry.intfName);
              const Pondo::Ptr<const IntfStatus> live = status->intfStatus(intfName);
              if (!live || live->classes() != entry.classes) {
                const Pondo::String shared = sharedName(*inputs_.ifMib, intfName);
                status->intfStatusIs(shared, Pondo::make<IntfStatus>(shared, entry.classes));
              }
              return true;
            },
            yield);
        subIndex_ = inner.bookmark.value_or(0);
        return inner.finished();
      },
      yield);
  index_ = walked.bookmark.value_or(entities.size());
  return walked.finished();
}

}  // namespace Host

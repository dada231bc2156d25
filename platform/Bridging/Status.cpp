// Bridging/Status.cpp — status entities and the storm-control model's type module.
#include "Bridging/Status.h"

#include "Qel/Registration.h"

namespace Bridging::StormControl {

namespace {

constexpr Pondo::Change::KeyEq nameEq = &Qel::Reg::untypedEq<Pondo::String>;

void build(Qel::Module& module) {
  module.typeIs("Bridging::StormControl::IntfStatus", Qel::TypeKind::entity);
  module.typeIs("Bridging::StormControl::Status", Qel::TypeKind::entity);
}

Qel::Module& moduleDefinition() {
  return Qel::Reg::moduleDefinition<build>("Bridging::StormControl");
}

const bool registered = Qel::Reg::registeredAtLoad(moduleDefinition());

}  // namespace

const Qel::TypeData* IntfStatus::typeData() const { return &moduleDefinition().type(0); }

Status::~Status() { intfStatus_.clear(); }

const Qel::TypeData* Status::typeData() const { return &moduleDefinition().type(1); }

Pondo::Ptr<const IntfStatus> Status::intfStatus(const Pondo::String& intfName) const {
  const Pondo::Ptr<const IntfStatus>* status = intfStatus_.find(intfName);
  return status ? *status : nullptr;
}

void Status::intfStatusIs(const Pondo::String& intfName,
                          const Pondo::Ptr<const IntfStatus>& status) {
  Pondo::Ptr<const IntfStatus>* present = intfStatus_.find(intfName);
  if (present && *present == status) return;
  Pondo::Ptr<const IntfStatus> previous = present ? *present : nullptr;
  intfStatus_.insertOrAssign(intfName, status);
  publisher_.publishChangeRecursive(intfStatusAttr, &intfName, previous ? &previous : nullptr,
                                    nameEq);
}

Pondo::Ptr<const IntfStatus> Status::intfStatusDel(const Pondo::String& intfName) {
  std::optional<Pondo::Ptr<const IntfStatus>> removed = intfStatus_.take(intfName);
  if (!removed) return nullptr;
  publisher_.publishChangeRecursive(intfStatusAttr, &intfName, &*removed, nameEq);
  return *removed;
}

}  // namespace Bridging::StormControl

// IntfSnmp/IfMib.cpp — the interface MIB entity and its type module.
#include "IntfSnmp/IfMib.h"

#include "Qel/Registration.h"

namespace IntfSnmp {

namespace {

constexpr Pondo::Change::KeyEq idEq = &Qel::Reg::untypedEq<Lumo::IntfId>;

void build(Qel::Module& module) { module.typeIs("IntfSnmp::IfMib", Qel::TypeKind::entity); }

Qel::Module& moduleDefinition() { return Qel::Reg::moduleDefinition<build>("IntfSnmp"); }

const bool registered = Qel::Reg::registeredAtLoad(moduleDefinition());

}  // namespace

const Qel::TypeData* IfMib::typeData() const { return &moduleDefinition().type(0); }

U32Optional IfMib::ifIndexByIntfId(const Lumo::IntfId& id) const {
  const U32* ifIndex = ifIndexByIntfId_.find(id);
  return ifIndex ? U32Optional(*ifIndex) : U32Optional();
}

void IfMib::ifIndexByIntfIdIs(const Lumo::IntfId& id, U32 ifIndex) {
  const U32* present = ifIndexByIntfId_.find(id);
  if (present && *present == ifIndex) return;
  const U32Optional previous = present ? U32Optional(*present) : U32Optional();
  ifIndexByIntfId_.insertOrAssign(id, ifIndex);
  publisher_.publishChangeRecursive(ifIndexByIntfIdAttr, &id,
                                    previous ? &previous.value() : nullptr, idEq);
}

U32Optional IfMib::ifIndexByIntfIdDel(const Lumo::IntfId& id) {
  std::optional<U32> removed = ifIndexByIntfId_.take(id);
  if (!removed) return U32Optional();
  publisher_.publishChangeRecursive(ifIndexByIntfIdAttr, &id, &*removed, idEq);
  return U32Optional(*removed);
}

}  // namespace IntfSnmp

// Snmp/RegVoidCollByContext.cpp — the registry of table records.
#include "Snmp/RegVoidCollByContext.h"

#include "Pondo/Assert.h"
#include "Snmp/SnmpModule.h"

namespace Snmp {

const Qel::TypeData* RegVoidCollByContext::typeData() const { return &fwkType(); }

const Qel::TypeData& RegVoidCollByContext::fwkType() {
  return snmpModule().type(regVoidCollByContextTypeIndex);
}

Pondo::Ptr<RegVoidCollByContext> RegVoidCollByContext::instance() {
  auto registry = Pondo::dynamicPtrCast<RegVoidCollByContext>(
      Qel::Entity::singletonIs(&fwkType(), singletonName));
  PONDO_ASSERT_MSG(registry, "the registry's singleton name is taken by another type");
  return registry;
}

Pondo::Ptr<RegVoid> RegVoidCollByContext::addRegVoid(const Pondo::String& context,
                                                     const Pondo::String& table, void* payload) {
  auto record = Pondo::make<RegVoid>(context, table, payload, Pondo::make<TableCounters>());
  // A record replaced is released only once the map holds the new one.
  Pondo::Ptr<RegVoid> replaced = std::exchange(regVoids_[Key(context, table)], record);
  return record;
}

bool RegVoidCollByContext::delRegVoid(const Pondo::String& context, const Pondo::String& table) {
  auto it = regVoids_.find(Key(context, table));
  if (it == regVoids_.end()) return false;
  // Released after the erase: the map is consistent whatever the record's destruction does.
  Pondo::Ptr<RegVoid> dropped = std::move(it->second);
  regVoids_.erase(it);
  return true;
}

Pondo::Ptr<RegVoid> RegVoidCollByContext::regVoid(const Pondo::String& context,
                                                  const Pondo::String& table) const {
  auto it = regVoids_.find(Key(context, table));
  return it == regVoids_.end() ? nullptr : it->second;
}

}  // namespace Snmp

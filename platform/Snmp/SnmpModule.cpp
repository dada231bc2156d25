// Snmp/SnmpModule.cpp — registration of the host's SNMP types.
#include "Snmp/SnmpModule.h"

#include "Qel/Exception.h"
#include "Qel/Registration.h"
#include "Snmp/RegVoidCollByContext.h"

namespace Snmp {

namespace {

void build(Qel::Module& module) {
  module.typeIs("Snmp::TableCounters", Qel::TypeKind::node);
  module.typeIs("Snmp::RegVoid", Qel::TypeKind::node);
  Qel::TypeData& registry = module.typeIs("Snmp::RegVoidCollByContext", Qel::TypeKind::entity);
  Qel::TypeOps ops;
  ops.newEntity = [](const Pondo::String& name, const Qel::Args* args) -> Pondo::Ptr<Qel::Entity> {
    if (args) Qel::throwNewEntityArgsException("Snmp::RegVoidCollByContext");
    return Pondo::make<RegVoidCollByContext>(name);
  };
  registry.opsIs(std::move(ops));
}

Qel::Module& moduleDefinition() { return Qel::Reg::moduleDefinition<build>("Snmp"); }

const bool registered = Qel::Reg::registeredAtLoad(moduleDefinition());

}  // namespace

const Qel::Module& snmpModule() { return moduleDefinition(); }

}  // namespace Snmp

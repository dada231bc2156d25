// StormControlSnmp/StormControlSnmpContract.cpp — the plug-in's side of the daemon's contract:
// its entry points, and the checks that its own enums say what the contract says.
#include "StormControlSnmp/StormControlSnmpContract.h"

#include "Pondo/Publisher.h"
#include "StormControlSnmp/StormControlSnmpAgent.h"
#include "StormControlSnmp/breltaStormControlMIB.h"

namespace StormControlSnmp::Contract {
namespace {

using Machine = StormControlIfTableSm;
using OutputState = KrelCode::StormControlIfTableSm::OutputState;

static_assert(StormControlMib::stormControlIfTableAttr == mibTableAttr);
static_assert(Root::stormControlSnmpAgentAttr == rootAgentAttr);
static_assert(StormControlSnmpAgent::scMibAttr == agentMibAttr);
static_assert(StormControlSnmpAgent::sliceAttr == agentSliceAttr);
static_assert(StormControlSnmpAgent::ifMibAttr == agentIfMibAttr);
static_assert(StormControlSnmpAgent::smControlAttr == agentSmControlAttr);
static_assert(StormControlSnmpAgent::stormControlIfTableSmAttr == agentMachineAttr);
static_assert(Machine::outputStateAttr == machineOutputStateAttr);
static_assert(OutputState::readyAttr == outputReadyAttr);
static_assert(stormControlTCTypeCount == trafficClassCount);

Row rowOf(const StormControlIfTableEntry& entry) {
  return {entry.ifIndex(), static_cast<std::uint8_t>(entry.trafficClass()), entry.drops()};
}

}  // namespace

extern "C" bool stormControlSnmpChangedRow(const Qel::Entity* mib, const Pondo::Change* change,
                                           Row* row) {
  if (change->attribute != mibTableAttr) return false;
  if (change->previous) {
    *row = rowOf(**static_cast<const Pondo::Ptr<StormControlIfTableEntry>*>(change->previous));
    return true;
  }
  const auto& key = *static_cast<const StormControlIfTableKey*>(change->key);
  const StormControlIfTableEntry* entry =
      static_cast<const StormControlMib*>(mib)->stormControlIfTable(key);
  if (!entry) return false;
  *row = rowOf(*entry);
  return true;
}

extern "C" void stormControlSnmpUnregisterContext(const char* context) {
  unregister_breltaStormControlMIB(Pondo::String(context));
}

}  // namespace StormControlSnmp::Contract

// host/notifications/DropsNotifier.cpp — rise detection on the table's publications and the
// notification.
#include "DropsNotifier.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <algorithm>
#include <any>
#include <array>
#include <iterator>
#include <utility>

#include "Pondo/Assert.h"
// Types only, as in PluginHost.cpp: the key's and the table's inline accessors; every value of
// a row is read through the type registry.
#include "StormControlSnmp/StormControlSnmp.h"
#include "StormControlSnmp/breltaStormControlMIB.h"

// In net-snmp's library, not in its installed headers: per priority, the first log handler
// that takes messages of that priority.
extern "C" netsnmp_log_handler* logh_priorities[];

namespace Host {
namespace {

using StormControlSnmp::StormControlIfTableEntry;
using StormControlSnmp::StormControlIfTableKey;
using StormControlSnmp::StormControlMib;

constexpr const char* entryTypeName = "StormControlSnmp::StormControlIfTableEntry";
constexpr oid enterprise = StormControlSnmp::enterpriseNumber;

const oid snmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
const oid dropsRisingOid[] = {1, 3, 6, 1, 4, 1, enterprise, 3, 35, 0, 1};
const oid notifyTrafficClassOid[] = {1, 3, 6, 1, 4, 1, enterprise, 3, 35, 1, 2, 0};
// Instances: ifIndex.<ifIndex>, breltaStormControlIfDrops.<ifIndex>.<class>.
constexpr oid ifIndexColumn[] = {1, 3, 6, 1, 2, 1, 2, 2, 1, 1};
constexpr oid dropsColumn[] = {1, 3, 6, 1, 4, 1, enterprise, 3, 35, 1, 1, 1, 4};

const Qel::TypeData& entryType() {
  const Qel::TypeData* type = Qel::qelType(entryTypeName);
  PONDO_ASSERT_MSG(type, "the plug-in registers its row type at load");
  return *type;
}

U64 packed(const StormControlIfTableKey& key) {
  return U64(key.ifIndex()) << 8 | static_cast<U8>(key.trafficClass());
}

/// Silences net-snmp's warnings, and only those, while it lives. send_v2trap first converts
/// every notification into an SNMPv1 trap for v1 sinks, which fails for any notification
/// carrying a Counter64 and warns twice each time, whether or not a v1 sink exists; v2c and v3
/// targets, and errors such as a failed send, are not affected.
class QuietWarnings {
 public:
  QuietWarnings() : saved_(std::exchange(logh_priorities[LOG_WARNING], nullptr)) {}
  ~QuietWarnings() { logh_priorities[LOG_WARNING] = saved_; }
  QuietWarnings(const QuietWarnings&) = delete;
  QuietWarnings& operator=(const QuietWarnings&) = delete;

 private:
  netsnmp_log_handler* saved_;
};

/// `column` followed by `index`.
template <std::size_t N, std::size_t M>
std::array<oid, N + M> instance(const oid (&column)[N], const std::array<oid, M>& index) {
  std::array<oid, N + M> out{};
  std::copy(std::begin(column), std::end(column), out.begin());
  std::copy(index.begin(), index.end(), out.begin() + N);
  return out;
}

}  // namespace

DropsNotifier::DropsNotifier(Pondo::Ptr<Qel::Entity> mib, const NotifySettings& settings)
    : mib_(std::move(mib)),
      entryType_(entryType()),
      detector_(settings.still, settings.holddown, DropsRisingDetector::Clock::now()) {
  mib_->publisher()->subscriberAdd(subscriber_, false);
}

void DropsNotifier::logCounters() const {
  snmp_log(LOG_INFO, "notifications: sent=%llu heldDown=%llu\n",
           static_cast<unsigned long long>(detector_.reported()),
           static_cast<unsigned long long>(detector_.heldDown()));
}

void DropsNotifier::onChange(void* self, const Pondo::Change& change) {
  if (change.attribute != StormControlMib::stormControlIfTableAttr) return;
  auto& notifier = *static_cast<DropsNotifier*>(self);
  if (!change.previous) {
    notifier.onInserted(change.key);
    return;
  }
  const auto& row = *static_cast<const Pondo::Ptr<StormControlIfTableEntry>*>(change.previous);
  notifier.removed_ = Removed{packed(row->key()), notifier.drops(row.get())};
}

void DropsNotifier::onInserted(const void* keyPtr) {
  const std::optional<Removed> removed = std::exchange(removed_, std::nullopt);
  const auto& key = *static_cast<const StormControlIfTableKey*>(keyPtr);
  if (!removed || removed->key != packed(key)) return;
  const StormControlIfTableEntry* row =
      static_cast<const StormControlMib*>(mib_.get())->stormControlIfTable(key);
  if (!row) return;
  const U64 after = drops(row);
  if (!detector_.moved(removed->key, removed->drops, after, DropsRisingDetector::Clock::now())) {
    return;
  }
  send(keyPtr, after);
}

U64 DropsNotifier::drops(const void* row) const {
  return std::any_cast<U64>(Qel::attrRead(entryType_, row, StormControlIfTableEntry::dropsAttr));
}

void DropsNotifier::send(const void* keyPtr, U64 value) const {
  const auto& key = *static_cast<const StormControlIfTableKey*>(keyPtr);
  const auto trafficClass = static_cast<long>(key.trafficClass());
  const auto ifIndexOid = instance(ifIndexColumn, std::array<oid, 1>{key.ifIndex()});
  const auto dropsOid = instance(dropsColumn, std::array<oid, 2>{key.ifIndex(), oid(trafficClass)});
  // InterfaceIndex is an Integer32; an ifIndex beyond its range keeps its value as an
  // Unsigned32 rather than turning negative.
  const long ifIndex = long(key.ifIndex());
  const bool inRange = key.ifIndex() <= 0x7fffffffu;
  const counter64 counter{value >> 32, value & 0xffffffffu};

  netsnmp_variable_list* vars = nullptr;
  snmp_varlist_add_variable(&vars, snmpTrapOid, std::size(snmpTrapOid), ASN_OBJECT_ID,
                            dropsRisingOid, sizeof dropsRisingOid);
  snmp_varlist_add_variable(&vars, ifIndexOid.data(), ifIndexOid.size(),
                            inRange ? ASN_INTEGER : ASN_UNSIGNED, &ifIndex, sizeof ifIndex);
  snmp_varlist_add_variable(&vars, notifyTrafficClassOid, std::size(notifyTrafficClassOid),
                            ASN_INTEGER, &trafficClass, sizeof trafficClass);
  snmp_varlist_add_variable(&vars, dropsOid.data(), dropsOid.size(), ASN_COUNTER64, &counter,
                            sizeof counter);
  {
    const QuietWarnings quiet;
    send_v2trap(vars);
  }
  snmp_free_varbind(vars);
}

}  // namespace Host

// host/notifications/DropsNotifier.cpp — rise detection on the table's publications and the
// notification.
#include "DropsNotifier.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <iterator>
#include <optional>
#include <utility>

// In net-snmp's library, not in its installed headers: per priority, the first log handler
// that takes messages of that priority.
extern "C" netsnmp_log_handler* logh_priorities[];

namespace Host {
namespace {

namespace Contract = StormControlSnmp::Contract;

const oid snmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};

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

}  // namespace

DropsNotifier::DropsNotifier(Pondo::Ptr<Qel::Entity> mib, Contract::ChangedRowFunction changedRow,
                             const NotifySettings& settings)
    : mib_(std::move(mib)),
      changedRow_(changedRow),
      detector_(settings.still, settings.holddown, DropsRisingDetector::Clock::now()) {
  mib_->publisher()->subscriberAdd(subscriber_, false);
}

void DropsNotifier::logCounters() const {
  snmp_log(LOG_INFO, "notifications: generated=%llu heldDown=%llu\n",
           static_cast<unsigned long long>(detector_.reported()),
           static_cast<unsigned long long>(detector_.heldDown()));
}

void DropsNotifier::onChange(void* self, const Pondo::Change& change) {
  if (change.attribute != Contract::mibTableAttr) return;
  auto& notifier = *static_cast<DropsNotifier*>(self);
  if (!change.previous) {
    notifier.onInserted(change);
    return;
  }
  Row removed;
  if (notifier.changedRow_(notifier.mib_.get(), &change, &removed)) {
    notifier.replaced_.removed(removed);
  }
}

void DropsNotifier::onInserted(const Pondo::Change& change) {
  if (!replaced_.pending()) return;
  Row inserted{};
  const bool read = changedRow_(mib_.get(), &change, &inserted);
  const std::optional<Row> before = replaced_.inserted(inserted);
  if (!read || !before) return;
  if (!detector_.moved(inserted.key(), before->drops, inserted.drops,
                       DropsRisingDetector::Clock::now())) {
    return;
  }
  send(inserted);
}

void DropsNotifier::send(const Row& row) {
  const auto trafficClass = static_cast<long>(row.trafficClass);
  const auto ifIndexOid = Contract::oidOf(Contract::ifIndexOid, row.ifIndex);
  const auto dropsOid = Contract::instanceOid(Contract::dropsColumn, row.ifIndex, row.trafficClass);
  // InterfaceIndex is an Integer32; an ifIndex beyond its range keeps its value as an
  // Unsigned32 rather than turning negative.
  const long ifIndex = long(row.ifIndex);
  const bool inRange = row.ifIndex <= 0x7fffffffu;
  const counter64 counter{row.drops >> 32, row.drops & 0xffffffffu};

  netsnmp_variable_list* vars = nullptr;
  snmp_varlist_add_variable(&vars, snmpTrapOid, std::size(snmpTrapOid), ASN_OBJECT_ID,
                            Contract::dropsRisingOid.data(),
                            Contract::dropsRisingOid.size() * sizeof(oid));
  snmp_varlist_add_variable(&vars, ifIndexOid.data(), ifIndexOid.size(),
                            inRange ? ASN_INTEGER : ASN_UNSIGNED, &ifIndex, sizeof ifIndex);
  snmp_varlist_add_variable(&vars, Contract::notifyTrafficClassOid.data(),
                            Contract::notifyTrafficClassOid.size(), ASN_INTEGER, &trafficClass,
                            sizeof trafficClass);
  snmp_varlist_add_variable(&vars, dropsOid.data(), dropsOid.size(), ASN_COUNTER64, &counter,
                            sizeof counter);
  {
    const QuietWarnings quiet;
    send_v2trap(vars);
  }
  snmp_free_varbind(vars);
}

}  // namespace Host

// host/notifications/DropsNotifier.h — sends breltaStormControlDropsRising when a row's drops start
// rising.
///
/// Watches the table entity's publications, read through the plug-in's `changedRow` entry point.
/// A row replaced (`Contract::RowReplaced`: its removal, then at once its insertion) is one move
/// of that row's counter, from the removed row's drops to the new row's; `DropsRisingDetector`
/// decides whether the move is a start to report. A report is a notification to every target
/// net-snmp has (the -C file's trap2sink, informsink and trapsess lines, or the master agent when
/// the daemon is a subagent), carrying IF-MIB::ifIndex, breltaStormControlNotifyTrafficClass.0 and
/// the row's breltaStormControlIfDrops instance, in the default context. Rows appearing or
/// disappearing are not moves. One thread; the notifier must go before the table entity does.
#pragma once

#include <chrono>

#include "Pondo/Ptr.h"
#include "Pondo/Publisher.h"
#include "Qel/Entity.h"
#include "StormControlSnmp/StormControlSnmpContract.h"
#include "host/notifications/DropsRisingDetector.h"

namespace Host {

struct NotifySettings {
  std::chrono::seconds still{5};
  std::chrono::seconds holddown{60};
};

class DropsNotifier {
 public:
  DropsNotifier(Pondo::Ptr<Qel::Entity> mib,
                StormControlSnmp::Contract::ChangedRowFunction changedRow,
                const NotifySettings& settings);
  DropsNotifier(const DropsNotifier&) = delete;
  DropsNotifier& operator=(const DropsNotifier&) = delete;
  ~DropsNotifier() = default;

  /// Logs `notifications: generated=N heldDown=M`: notifications made, whatever the number of
  /// targets (none included), and rises held down.
  void logCounters() const;

 private:
  using Row = StormControlSnmp::Contract::Row;

  static void onChange(void* self, const Pondo::Change& change);
  void onInserted(const Pondo::Change& change);
  static void send(const Row& row);

  Pondo::Ptr<Qel::Entity> mib_;
  StormControlSnmp::Contract::ChangedRowFunction changedRow_;
  DropsRisingDetector detector_;
  StormControlSnmp::Contract::RowReplaced replaced_;
  Pondo::Subscriber subscriber_{this, &DropsNotifier::onChange};
};

}  // namespace Host

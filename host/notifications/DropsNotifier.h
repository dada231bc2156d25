// host/notifications/DropsNotifier.h — sends breltaStormControlDropsRising when a row's drops start
// rising.
///
/// Watches the table entity's publications. A row whose status changes is removed and inserted
/// again at once, so a removal followed by the insertion of the same key is one move of that
/// row's counter, from the removed row's drops to the new row's; `DropsRisingDetector` decides
/// whether the move is a start to report. A report is a notification to every target net-snmp
/// has (the -C file's trap2sink, informsink and trapsess lines, or the master agent when the
/// daemon is a subagent), carrying IF-MIB::ifIndex, breltaStormControlNotifyTrafficClass.0 and
/// the row's breltaStormControlIfDrops instance, in the default context. Rows appearing or
/// disappearing are not moves. One thread; the notifier must go before the table entity does.
#pragma once

#include <chrono>
#include <optional>

#include "Pondo/Ptr.h"
#include "Pondo/Publisher.h"
#include "Qel/Entity.h"
#include "Qel/TypeData.h"
#include "host/notifications/DropsRisingDetector.h"

namespace Host {

struct NotifySettings {
  std::chrono::seconds still{5};
  std::chrono::seconds holddown{60};
};

class DropsNotifier {
 public:
  /// The OID of breltaStormControlDropsRising, as text for logs and tests.
  static constexpr const char* notificationOid = "1.3.6.1.4.1.32473.3.35.0.1";

  DropsNotifier(Pondo::Ptr<Qel::Entity> mib, const NotifySettings& settings);
  DropsNotifier(const DropsNotifier&) = delete;
  DropsNotifier& operator=(const DropsNotifier&) = delete;
  ~DropsNotifier() = default;

  /// Logs `notifications: sent=N heldDown=M`.
  void logCounters() const;

 private:
  struct Removed {
    U64 key;
    U64 drops;
  };

  static void onChange(void* self, const Pondo::Change& change);
  void onInserted(const void* key);
  U64 drops(const void* row) const;
  void send(const void* key, U64 value) const;

  Pondo::Ptr<Qel::Entity> mib_;
  const Qel::TypeData& entryType_;
  DropsRisingDetector detector_;
  std::optional<Removed> removed_;  // the row just removed, awaiting its replacement
  Pondo::Subscriber subscriber_{this, &DropsNotifier::onChange};
};

}  // namespace Host

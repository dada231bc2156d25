// tests/host/e2e/BackgroundWalks.h — walks of the table repeated on a thread of their own.
///
/// Used to run walks while something else changes the table (a reload, the simulator, another
/// walk). The walks go on until `stop`, which joins the thread and returns them all; at least
/// one walk is always made.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

#include "SnmpClient.h"

namespace E2e {

class BackgroundWalks {
 public:
  /// snmpbulkwalk of the whole table with `-Cr<maxRepetitions>`, again and again.
  BackgroundWalks(const SnmpClient& client, int maxRepetitions);
  ~BackgroundWalks();
  BackgroundWalks(const BackgroundWalks&) = delete;
  BackgroundWalks& operator=(const BackgroundWalks&) = delete;

  /// Ends the walks after the one in progress; every walk made, in order.
  std::vector<ClientResult> stop();

 private:
  std::atomic<bool> stop_{false};
  std::vector<ClientResult> walks_;
  std::thread thread_;
};

}  // namespace E2e

// tests/host/e2e/BackgroundWalks.cpp — the walking thread.
#include "BackgroundWalks.h"

namespace E2e {

BackgroundWalks::BackgroundWalks(const SnmpClient& client, int maxRepetitions)
    : thread_([this, &client, maxRepetitions] {
        do {
          walks_.push_back(client.bulkWalk(tableOid, maxRepetitions));
        } while (!stop_);
      }) {}

BackgroundWalks::~BackgroundWalks() { stop(); }

std::vector<ClientResult> BackgroundWalks::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  return std::move(walks_);
}

}  // namespace E2e

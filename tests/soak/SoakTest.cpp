// tests/soak/SoakTest.cpp — the daemon under a long mixed load, for SOAK_S seconds (60 unless
// set): 2,000 simulated interfaces whose drop counters change every 10 ms, an interface flap
// every 100 ms, an agent restart (SIGUSR2) every 5 s, and four managers walking the table at
// once, again and again (snmpwalk's GETNEXT over the drops column, snmpbulkwalk's GETBULK over
// the whole table at three -Cr).
///
/// Checked: every walk strictly increasing, complete for every interface that did not flap while
/// it ran, and without rows of an ifIndex already gone; drop counters never going back between
/// one manager's walks; resident memory no more than 5 % above its level at the end of the
/// warm-up (a third of the run, at most a minute; not under AddressSanitizer, whose quarantine
/// keeps freed memory); every allocation tracker back to its count before the load, which has
/// one table entry per row and no walk context; nothing in the log but the expected lines; a
/// clean exit. The figures are printed at the end.
#include <signal.h>
#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "FlapLog.h"
#include "host/e2e/DaemonTest.h"
#include "host/e2e/TempDir.h"

namespace Soak {
namespace {

using namespace E2e;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t interfaces = 2000;
constexpr std::uint64_t rowsPerInterface = 4;
constexpr auto flapPeriod = 100ms;
constexpr auto restartPeriod = 5s;
constexpr double maxGrowthPercent = 5;
// Flap steps logged before a walk whose interfaces may still be changing in the table: the
// machine applies a step a moment after the simulator logs it.
constexpr std::size_t flapLag = 8;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

constexpr const char* entriesType = "StormControlSnmp::StormControlIfTableEntry";
constexpr const char* walkContextType = "breltaStormControlIfTable_entry";
constexpr const char* statusType = "Bridging::StormControl::IntfStatus";

// Everything the daemon may log during the soak; any other line is an error.
constexpr const char* expectedLines[] = {
    "listening on ",   "table ready: ", "restarting agent", "counters: ",    "scheduler: ",
    "notifications: ", "allocations: ", flapMarker,         "shutting down",   "requests: ",
};

std::chrono::seconds soakDuration() {
  const char* text = std::getenv("SOAK_S");
  return std::chrono::seconds(text && *text ? std::stoi(text) : 60);
}

/// The last `count` lines of `text`, for failure messages.
std::string tail(const std::string& text, std::size_t count = 30) {
  std::size_t at = text.size();
  for (std::size_t n = 0; n <= count && at != std::string::npos && at > 0; ++n) {
    at = text.rfind('\n', at - 1);
  }
  return at == std::string::npos ? text : text.substr(at + 1);
}

std::uint64_t residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6));
  }
  return 0;
}

/// Live objects by type, from an `allocations:` line.
using Allocations = std::map<std::string, std::uint64_t>;

Allocations parseAllocations(const std::string& line) {
  Allocations live;
  std::istringstream words(line.substr(line.find("allocations:") + 12));
  for (std::string word; words >> word;) {
    const auto equals = word.rfind('=');
    live[word.substr(0, equals)] = std::stoull(word.substr(equals + 1));
  }
  return live;
}

std::uint64_t count(const Allocations& live, const std::string& type) {
  const auto it = live.find(type);
  return it == live.end() ? 0 : it->second;
}

/// The types whose counts differ, with both counts.
std::string differences(const Allocations& before, const Allocations& after) {
  std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> both;
  for (const auto& [type, n] : before) both[type].first = n;
  for (const auto& [type, n] : after) both[type].second = n;
  std::string text;
  for (const auto& [type, n] : both) {
    if (n.first != n.second) {
      text += type + ": " + std::to_string(n.first) + " then " + std::to_string(n.second) + "\n";
    }
  }
  return text;
}

/// One manager walking `columns` of the table again and again on a thread of its own, checking
/// each walk against the flaps the daemon logged while it ran, and each walk's drop counters
/// against the previous walk's.
class Manager {
 public:
  using Walk = std::function<ClientResult(const SnmpClient&)>;

  Manager(const Daemon& daemon, std::string name, std::size_t columns, Walk walk)
      : daemon_(daemon),
        client_(daemon),
        name_(std::move(name)),
        cellsPerInterface_(columns * rowsPerInterface),
        walk_(std::move(walk)),
        thread_([this] {
          do {
            walkOnce();
          } while (!stop_);
        }) {}
  ~Manager() { stop(); }
  Manager(const Manager&) = delete;
  Manager& operator=(const Manager&) = delete;

  /// Ends the walks after the one in progress.
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  const std::string& name() const { return name_; }
  std::size_t walks() const { return walks_; }
  /// One line per failed walk, the first few only.
  const std::vector<std::string>& failures() const { return failures_; }
  std::size_t failedWalks() const { return failedWalks_; }

 private:
  using Drops = std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t>;

  void walkOnce() {
    const std::size_t before = flapSteps(daemon_.log()).size();
    const ClientResult result = walk_(client_);
    const std::vector<FlapStep> steps = flapSteps(daemon_.log());
    ++walks_;
    const std::string failure = check(result, steps, before);
    if (failure.empty()) return;
    ++failedWalks_;
    if (failures_.size() < 5)
      failures_.push_back(name_ + ", walk " + std::to_string(walks_) + ": " + failure);
  }

  /// The first thing wrong with the walk, or empty.
  std::string check(const ClientResult& result, const std::vector<FlapStep>& steps,
                    std::size_t before) {
    if (!succeeded(result)) {
      return "client failed (exit " + std::to_string(result.process.exitStatus) +
             (result.process.timedOut ? ", killed at the deadline" : "") +
             "): " + result.process.err;
    }
    const ::testing::AssertionResult increasing = strictlyIncreasing(result.vars);
    if (!increasing) return increasing.message();
    std::map<std::uint64_t, std::size_t> cells;  // by ifIndex
    Drops drops;
    for (const VarBind& vb : result.vars) {
      if (vb.kind != VarKind::value || vb.oid.size() != entryOid.size() + 3) {
        return "unexpected variable " + describe(vb);
      }
      const std::uint64_t column = vb.oid[entryOid.size()];
      const std::uint64_t ifIndex = vb.oid[entryOid.size() + 1];
      ++cells[ifIndex];
      if (column == 4) drops[{ifIndex, vb.oid[entryOid.size() + 2]}] = std::stoull(vb.value);
    }
    const std::set<std::uint64_t> table = ifIndexesAt(interfaces, steps, before);
    const std::set<std::uint64_t> flapped =
        ifIndexesNamed(steps, before > flapLag ? before - flapLag : 0, steps.size());
    for (const std::uint64_t ifIndex : table) {
      if (flapped.count(ifIndex)) continue;
      const auto found = cells.find(ifIndex);
      const std::size_t n = found == cells.end() ? 0 : found->second;
      if (n != cellsPerInterface_) {
        return "ifIndex " + std::to_string(ifIndex) + " has " + std::to_string(n) + " cells of " +
               std::to_string(cellsPerInterface_);
      }
    }
    for (const auto& [ifIndex, n] : cells) {
      if (!table.count(ifIndex) && !flapped.count(ifIndex)) {
        return "rows of ifIndex " + std::to_string(ifIndex) + ", which was gone";
      }
    }
    std::string failure;
    for (const auto& [row, value] : drops) {
      const auto old = previous_.find(row);
      if (old == previous_.end() || old->second <= value) continue;
      failure = "drops of row " + std::to_string(row.first) + "." + std::to_string(row.second) +
                " went back from " + std::to_string(old->second) + " to " + std::to_string(value);
      break;
    }
    previous_ = std::move(drops);
    return failure;
  }

  const Daemon& daemon_;
  const SnmpClient client_;
  const std::string name_;
  const std::size_t cellsPerInterface_;
  const Walk walk_;
  Drops previous_;
  std::size_t walks_ = 0;
  std::size_t failedWalks_ = 0;
  std::vector<std::string> failures_;
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: starts once everything else is ready
};

class SoakTest : public DaemonTest {
 protected:
  /// SIGUSR1, then the allocations the daemon logs for it.
  Allocations sampleAllocations() {
    const int logged = daemon_.logCount("allocations: ");
    daemon_.signal(SIGUSR1);
    if (!daemon_.waitForLog("allocations: ", logged + 1)) return {};
    return parseAllocations(daemon_.logLines("allocations: ").at(std::size_t(logged)));
  }

  /// Samples until `steady` holds, a few seconds at most (the counts are exact only between
  /// the simulator's rounds and the machine's runs); the last sample.
  Allocations sampleUntil(const std::function<bool(const Allocations&)>& steady) {
    Allocations live;
    for (int attempt = 0; attempt < 50; ++attempt) {
      live = sampleAllocations();
      if (steady(live)) return live;
      std::this_thread::sleep_for(200ms);
    }
    return live;
  }

  /// The log lines none of `expectedLines` begins.
  std::string unexpectedLines() const {
    std::istringstream log(daemon_.log());
    std::string unexpected;
    for (std::string line; std::getline(log, line);) {
      const bool known = std::any_of(std::begin(expectedLines), std::end(expectedLines),
                                     [&](const char* start) { return line.rfind(start, 0) == 0; });
      if (!known) unexpected += line + "\n";
    }
    return unexpected;
  }

  /// Restarts the agent and waits until the table is ready again.
  void restart() {
    daemon_.signal(SIGUSR2);
    ++restarts_;
    ASSERT_TRUE(daemon_.waitForLog("table ready: ", restarts_ + 1, startDeadline))
        << tail(daemon_.log());
  }

  /// Runs the load for `duration` beside `managers`: restarts every `restartPeriod` (each once
  /// the previous one has made the table ready again) and samples resident memory.
  void runLoad(std::chrono::seconds duration, std::chrono::seconds warmUp, pid_t pid) {
    const Clock::time_point start = Clock::now();
    Clock::time_point nextRestart = start + restartPeriod;
    int tenth = 1;
    for (Clock::time_point now = start; now < start + duration; now = Clock::now()) {
      std::this_thread::sleep_for(100ms);
      if (!warmKiB_ && now >= start + warmUp) warmKiB_ = residentKiB(pid);
      if (tenth < 10 && now >= start + duration * tenth / 10) {
        tenthsKiB_ += " " + std::to_string(residentKiB(pid));
        ++tenth;
      }
      if (now < nextRestart || daemon_.logCount("table ready: ") != restarts_ + 1) continue;
      daemon_.signal(SIGUSR2);
      ++restarts_;
      nextRestart = now + restartPeriod;
    }
    endKiB_ = residentKiB(pid);
  }

  int restarts_ = 0;
  std::uint64_t warmKiB_ = 0;
  std::uint64_t endKiB_ = 0;
  std::string tenthsKiB_;  // at each tenth of the run, to show a trend
};

// The load runs for the whole duration; then every check, and the figures.
TEST_F(SoakTest, DaemonStaysExactAndFlatUnderLoad) {
  const std::chrono::seconds duration = soakDuration();
  const std::chrono::seconds warmUp = std::min<std::chrono::seconds>(60s, duration / 3);
  const std::string pidFile = daemon_.dir().file("agent.pid");
  ASSERT_TRUE(daemon_.start({"--simulate", std::to_string(interfaces), "--sim-interval-ms", "10",
                             "--sim-flap-ms", std::to_string(flapPeriod.count()), "--trace",
                             "Simulator/1", "--pidfile", pidFile}))
      << tail(daemon_.log());
  ASSERT_TRUE(daemon_.waitForLog("table ready: ", 1, startDeadline)) << tail(daemon_.log());
  // From the first flap on, one interface is away at any time.
  ASSERT_TRUE(daemon_.waitForLog(flapMarker)) << tail(daemon_.log());
  // The counts to come back to are those of a restarted agent: the first machine keeps its
  // reconciliation task (it had no rows to reconcile), a machine started on a held table
  // releases it once reconciled.
  ASSERT_NO_FATAL_FAILURE(restart());
  const std::uint64_t rows = rowsPerInterface * (interfaces - 1);
  const Allocations before = sampleUntil([&](const Allocations& live) {
    return count(live, entriesType) == rows && count(live, statusType) == interfaces &&
           count(live, walkContextType) == 0;
  });
  ASSERT_EQ(count(before, entriesType), rows) << "one entry per row";
  ASSERT_EQ(count(before, statusType), interfaces) << "one status object per interface";

  // GETNEXT walks only the drops column: a request per value, and the whole table would take
  // the sanitizer build longer than the client's deadline.
  std::vector<std::unique_ptr<Manager>> managers;
  managers.push_back(
      std::make_unique<Manager>(daemon_, "snmpwalk (drops column)", 1,
                                [](const SnmpClient& c) { return c.walk(concat(entryOid, {4})); }));
  for (const int repetitions : {10, 50, 1000}) {
    managers.push_back(std::make_unique<Manager>(
        daemon_, "snmpbulkwalk -Cr" + std::to_string(repetitions), 3,
        [repetitions](const SnmpClient& c) { return c.bulkWalk(tableOid, repetitions); }));
  }
  runLoad(duration, warmUp, std::stoi(readFile(pidFile)));
  for (const auto& manager : managers) manager->stop();

  ASSERT_TRUE(daemon_.waitForLog("table ready: ", restarts_ + 1)) << tail(daemon_.log());
  const Allocations after = sampleUntil([&](const Allocations& live) { return live == before; });
  EXPECT_EQ(differences(before, after), "") << "allocation trackers not back to their counts";
  const int flaps = daemon_.logCount(" down, ifIndex ");
  EXPECT_EQ(daemon_.stop(), 0) << tail(daemon_.log());
  EXPECT_EQ(sanitizerReports(daemon_.log()), "");
  EXPECT_EQ(unexpectedLines(), "");

  std::printf(
      "soak: %lld s, %u interfaces, %llu rows, drop counters every 10 ms, a flap every "
      "%lld ms, a restart every %lld s\n",
      static_cast<long long>(duration.count()), interfaces,
      static_cast<unsigned long long>(rowsPerInterface * interfaces),
      static_cast<long long>(flapPeriod.count()), static_cast<long long>(restartPeriod.count()));
  std::size_t walks = 0;
  for (const auto& manager : managers) {
    walks += manager->walks();
    std::printf("soak: %-22s %6zu walks, %zu failed\n", manager->name().c_str(), manager->walks(),
                manager->failedWalks());
    EXPECT_GT(manager->walks(), 0u) << manager->name();
    EXPECT_EQ(manager->failedWalks(), 0u) << manager->name();
    for (const std::string& failure : manager->failures()) ADD_FAILURE() << failure;
  }
  std::printf("soak: %zu walks, %d restarts, %d flaps\n", walks, restarts_, flaps);
  ASSERT_GT(warmKiB_, 0u) << "resident memory not sampled after the warm-up";
  const double growth = 100.0 * (double(endKiB_) - double(warmKiB_)) / double(warmKiB_);
  std::printf(
      "soak: resident memory %llu KiB after the %lld s warm-up, %llu KiB at the end: "
      "%+.2f %%%s\n",
      static_cast<unsigned long long>(warmKiB_), static_cast<long long>(warmUp.count()),
      static_cast<unsigned long long>(endKiB_), growth,
      sanitized ? " (not checked under AddressSanitizer)" : "");
  std::printf("soak: resident memory (KiB) at each tenth of the run:%s %llu\n", tenthsKiB_.c_str(),
              static_cast<unsigned long long>(endKiB_));
  if (!sanitized) {
    EXPECT_LE(growth, maxGrowthPercent) << "resident memory grew";
  }
}

}  // namespace
}  // namespace Soak

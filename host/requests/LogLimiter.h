// host/requests/LogLimiter.h — keeps senders from filling the log: lines about received datagrams
// are rate limited per kind.
///
/// net-snmp logs a line for each datagram it refuses (a bad version, a failed authentication,
/// an unknown security model...), so a flood of them fills the disk. While a `Gate` is open,
/// around the parsing and answering of one received datagram, net-snmp's error and warning lines
/// go through the limiter; other lines (information, traces) pass as they are. The daemon's own
/// lines about hostile requests go through `record`. The limiter logs the first line of a kind
/// at once, then at most one per interval, which says how many like it were held back, and
/// keeps a count per kind for the SIGUSR1 report. A line's kind is its first three words, a
/// word with a digit in it counting as any number, so lines that differ in a name or a number
/// count together; past `maxKinds` kinds, the rest share one. One thread.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct netsnmp_log_handler_s;

namespace Host {

class LogLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  /// Where a line goes when no gate is open: net-snmp's log unless a test gives another.
  using Sink = std::function<void(int priority, std::string_view line)>;

  static constexpr std::size_t maxKinds = 32;

  explicit LogLimiter(Clock::duration interval = std::chrono::seconds(60), Sink sink = {});
  ~LogLimiter();
  LogLimiter(const LogLimiter&) = delete;
  LogLimiter& operator=(const LogLimiter&) = delete;

  /// Logs `line` (ending in a newline) at `priority` unless a line of its kind was logged less
  /// than the interval before `now`.
  void record(int priority, std::string_view line, Clock::time_point now = Clock::now());
  /// One line per kind met: how many lines, how many held back.
  void logCounters() const;

  /// net-snmp's error and warning lines go through the limiter while a gate lives. Gates do
  /// not nest; net-snmp's log must not be reconfigured while one is open.
  class Gate {
   public:
    explicit Gate(LogLimiter& limiter);
    ~Gate();
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

   private:
    LogLimiter& limiter_;
  };

 private:
  struct Kind {
    std::string key;
    unsigned long long lines = 0;
    unsigned long long heldBack = 0;
    unsigned long long heldSinceLogged = 0;
    Clock::time_point logged;
  };

  static int divert(netsnmp_log_handler_s* handler, int priority, const char* line);
  Kind& kindOf(std::string_view line);
  void emit(int priority, std::string_view line);
  /// Hands `line` to the handlers the open gate took aside, as net-snmp would have.
  void forward(int priority, const char* line) const;
  void openGate();
  void closeGate();

  Clock::duration interval_;
  Sink sink_;
  std::vector<Kind> kinds_;
  netsnmp_log_handler_s* handler_ = nullptr;      // ours, enabled only while a gate is open
  std::vector<netsnmp_log_handler_s*> diverted_;  // the handlers an open gate disabled
};

}  // namespace Host

// host/process/EventLoop.h — the daemon's one thread: net-snmp's sockets and alarms, signals and
// the cooperative scheduler.
///
/// Each iteration collects net-snmp's descriptors (its sessions and those registered with
/// `register_readfd`, the signal descriptor among them) and its next alarm, waits in `select`,
/// dispatches what is ready, runs due alarms and outstanding agent requests, then lets the
/// scheduler run one task for one slice. While the scheduler has work the wait does not block,
/// so packets and tasks alternate: a long job never holds a packet back for more than one
/// slice, and an idle scheduler never makes the loop spin.
///
/// A request may take several hops inside the process: an AgentX subagent hands each request
/// from the master's socket to the agent's internal callback session and the answer back, each
/// hop a pipe that becomes readable only once the previous hop was dispatched. So after
/// dispatching, the loop polls again without waiting, as long as something was ready (at most
/// `followPasses` times, so a stream of packets cannot starve the tasks): a request that has
/// arrived is answered before the scheduler's slice, never one slice per hop later.
///
/// Signals are blocked for the process and read from a signalfd inside the loop; the handler
/// runs on the loop like any other event, never in signal context. net-snmp's alarms must be
/// set not to use SIGALRM (NETSNMP_DS_LIB_ALARM_DONT_USE_SIG) before `init_agent`.
#pragma once

#include <functional>
#include <initializer_list>
#include <memory>

#include "Pondo/Ptr.h"
#include "Velo/TaskScheduler.h"

namespace Host {

class EventLoop {
 public:
  using SignalHandler = std::function<void(int signal)>;

  explicit EventLoop(Pondo::Ptr<Velo::TaskScheduler> scheduler);
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;
  ~EventLoop();

  /// Blocks `signals` for the process, so call it before any thread exists. Returns false (errno
  /// set) when the signal descriptor cannot be made.
  static bool blockSignals(std::initializer_list<int> signals);
  /// Delivers the blocked signals to `handler` from the loop; false (errno set) on failure.
  /// Needs net-snmp's library initialised (it registers the descriptor with it).
  bool signalHandlerIs(SignalHandler handler);

  /// Runs iterations until `stop()`.
  void run();
  /// Ends `run()` after the current iteration.
  void stop() noexcept { running_ = false; }

 private:
  struct FdSets;

  /// Polls after a dispatch; an AgentX request needs two (the callback session's request and
  /// answer).
  static constexpr int followPasses = 4;

  static void onSignalReadable(int fd, void* self);
  void iterate();
  /// One wait (blocking only when `mayBlock`) and the dispatch of whatever became ready, or
  /// net-snmp's timeout handling when nothing did; true when something was dispatched.
  bool dispatchReady(bool mayBlock);

  Pondo::Ptr<Velo::TaskScheduler> scheduler_;
  std::unique_ptr<FdSets> fds_;
  SignalHandler signalHandler_;
  int signalFd_ = -1;
  bool running_ = false;
};

}  // namespace Host

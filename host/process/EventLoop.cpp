// host/process/EventLoop.cpp — select loop over net-snmp's descriptors, alarms and the scheduler.
#include "EventLoop.h"

// net-snmp wants its configuration header first.
#include <net-snmp/net-snmp-config.h>

#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/library/fd_event_manager.h>
#include <net-snmp/library/large_fd_set.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace Host {
namespace {

sigset_t blockedSignals;

}  // namespace

/// The three descriptor sets of one wait, allocated once.
struct EventLoop::FdSets {
  FdSets() {
    netsnmp_large_fd_set_init(&read, FD_SETSIZE);
    netsnmp_large_fd_set_init(&write, FD_SETSIZE);
    netsnmp_large_fd_set_init(&except, FD_SETSIZE);
  }
  ~FdSets() {
    netsnmp_large_fd_set_cleanup(&read);
    netsnmp_large_fd_set_cleanup(&write);
    netsnmp_large_fd_set_cleanup(&except);
  }
  void clear() {
    NETSNMP_LARGE_FD_ZERO(&read);
    NETSNMP_LARGE_FD_ZERO(&write);
    NETSNMP_LARGE_FD_ZERO(&except);
  }
  netsnmp_large_fd_set read;
  netsnmp_large_fd_set write;
  netsnmp_large_fd_set except;
};

EventLoop::EventLoop(Pondo::Ptr<Velo::TaskScheduler> scheduler)
    : scheduler_(std::move(scheduler)), fds_(std::make_unique<FdSets>()) {}

EventLoop::~EventLoop() {
  if (signalFd_ < 0) return;
  unregister_readfd(signalFd_);
  close(signalFd_);
}

bool EventLoop::blockSignals(std::initializer_list<int> signals) {
  sigemptyset(&blockedSignals);
  for (int s : signals) sigaddset(&blockedSignals, s);
  return sigprocmask(SIG_BLOCK, &blockedSignals, nullptr) == 0;
}

bool EventLoop::signalHandlerIs(SignalHandler handler) {
  signalHandler_ = std::move(handler);
  if (signalFd_ >= 0) return true;
  signalFd_ = signalfd(-1, &blockedSignals, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signalFd_ < 0) return false;
  if (register_readfd(signalFd_, &EventLoop::onSignalReadable, this) != FD_REGISTERED_OK) {
    close(signalFd_);
    signalFd_ = -1;
    errno = EBUSY;
    return false;
  }
  return true;
}

void EventLoop::onSignalReadable(int fd, void* self) {
  auto* loop = static_cast<EventLoop*>(self);
  signalfd_siginfo info;
  while (read(fd, &info, sizeof info) == ssize_t(sizeof info)) {
    if (loop->signalHandler_) loop->signalHandler_(int(info.ssi_signo));
  }
}

void EventLoop::run() {
  running_ = true;
  while (running_) iterate();
}

void EventLoop::iterate() {
  const bool tasksPending = !scheduler_->idle();
  bool dispatched = dispatchReady(!tasksPending);
  for (int pass = 0; dispatched && pass < followPasses; ++pass) dispatched = dispatchReady(false);
  run_alarms();
  netsnmp_check_outstanding_agent_requests();
  if (tasksPending) scheduler_->runOne();
}

bool EventLoop::dispatchReady(bool mayBlock) {
  FdSets& fds = *fds_;
  fds.clear();
  int numfds = 0;
  // In: willing to block. Out: 1 when nothing, not even an alarm, is due; else 0 with
  // `timeout` set to the earliest deadline. (Given block 0, net-snmp would only shorten the
  // timeout passed in, and a zero timeout would make the loop spin.)
  int block = 1;
  timeval timeout{};
  snmp_select_info2(&numfds, &fds.read, &timeout, &block);
  netsnmp_external_event_info2(&numfds, &fds.read, &fds.write, &fds.except);
  if (!mayBlock) {
    timeout = timeval{};
    block = 0;
  }
  int count = netsnmp_large_fd_set_select(numfds, &fds.read, &fds.write, &fds.except,
                                          block ? nullptr : &timeout);
  if (count > 0) {
    netsnmp_dispatch_external_events2(&count, &fds.read, &fds.write, &fds.except);
    if (count > 0) snmp_read2(&fds.read);
    return true;
  }
  if (count == 0) {
    snmp_timeout();
  } else if (errno != EINTR) {
    snmp_log(LOG_ERR, "select: %s\n", std::strerror(errno));
  }
  return false;
}

}  // namespace Host

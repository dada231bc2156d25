// host/switchstate/Simulator.cpp — the simulated switch: its ports, its thresholds, its timers and
// flaps.
#include "Simulator.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

namespace Host {

using Bridging::StormControl::Classes;
using Bridging::StormControl::ClassStatus;
using Bridging::StormControl::IntfStatus;
using Bridging::StormControl::Status;
using Bridging::StormControl::Threshold;
using Bridging::StormControl::ThresholdType;
using Bridging::StormControl::TrafficClass;

namespace {

bool configured(const ClassStatus& c) { return !Threshold::isEq(c.threshold, Threshold{}); }

/// Drops added to a configured class per round: small, and different between neighbours.
U64 dropStep(U32 ordinal) { return ordinal % 5 + 1; }

void advanceClass(ClassStatus& c, U64 step) {
  if (configured(c)) c.drops += step;
}

struct timeval interval(U32 ms) {
  struct timeval tv {};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = suseconds_t(ms % 1000) * 1000;
  return tv;
}

}  // namespace

Simulator::Simulator(const SwitchInputs& inputs, const SimulatorOptions& options)
    : inputs_(inputs), options_(options) {}

Simulator::~Simulator() {
  if (alarm_) snmp_alarm_unregister(alarm_);
  if (flapAlarm_) snmp_alarm_unregister(flapAlarm_);
}

std::string Simulator::intfName(U32 ordinal) {
  return "Ethernet" + std::to_string(ordinal / portsPerModule + 1) + "/" +
         std::to_string(ordinal % portsPerModule + 1);
}

U32 Simulator::ifIndex(U32 ordinal) {
  return (ordinal / portsPerModule + 1) * 1000 + ordinal % portsPerModule + 1;
}

std::string Simulator::sliceName(U32 slice) { return "slice" + std::to_string(slice); }

Classes Simulator::initialClasses(U32 ordinal) {
  Classes c;
  switch (ordinal % 4) {
    case 1:
      c[TrafficClass::all].threshold = {500, ThresholdType::packetsPerSecond, 4};
      c[TrafficClass::broadcast].threshold = {1000, ThresholdType::packetsPerSecond, 4};
      break;
    case 2:
      c[TrafficClass::broadcast].threshold = {100000, ThresholdType::kilobitsPerSecond, 3};
      c[TrafficClass::multicast].threshold = {50, ThresholdType::percentage, 2};
      break;
    case 3:
      c[TrafficClass::all].threshold = {8000, ThresholdType::percentage, 4};
      c[TrafficClass::unknownUnicast].threshold = {2000, ThresholdType::packetsPerSecond, 4};
      break;
    default:
      break;
  }
  return c;
}

void Simulator::start() {
  for (U32 s = 0; s < options_.slices; ++s) {
    slices_.push_back(Pondo::make<Status>(Pondo::String(sliceName(s))));
    inputs_.slice->entityIs(slices_.back());
  }
  for (U32 i = 0; i < options_.interfaces; ++i) {
    const Pondo::String name(intfName(i));
    inputs_.ifMib->ifIndexByIntfIdIs(Lumo::IntfId(name), ifIndex(i));
    const Pondo::Ptr<Status> status = statusOf(i);
    if (!status) continue;
    status->intfStatusIs(name, Pondo::make<IntfStatus>(name, initialClasses(i)));
    if (i % 4 != 0) ports_.push_back({name, status, i});
  }
  if (options_.flapMs != 0 && options_.interfaces != 0) {
    nextIfIndex_ = ifIndex(options_.interfaces - 1) + 1;
    flapAlarm_ =
        snmp_alarm_register_hr(interval(options_.flapMs), SA_REPEAT, &Simulator::flapAlarm, this);
  }
  if (options_.intervalMs == 0 || ports_.empty()) return;
  job_.taskIs(inputs_.scheduler, taskPriority, Pondo::String("Host::Simulator"));
  alarm_ =
      snmp_alarm_register_hr(interval(options_.intervalMs), SA_REPEAT, &Simulator::alarm, this);
}

Pondo::Ptr<Status> Simulator::statusOf(U32 ordinal) const {
  if (slices_.empty()) return {};
  return slices_[U64(ordinal) * slices_.size() / options_.interfaces];
}

void Simulator::alarm(unsigned int /*registration*/, void* self) {
  static_cast<Simulator*>(self)->tick();
}

void Simulator::flapAlarm(unsigned int /*registration*/, void* self) {
  static_cast<Simulator*>(self)->flap();
}

void Simulator::flap() {
  if (options_.interfaces == 0) return;
  if (away_) bringBack(*away_);
  takeAway(U32(flaps_ % options_.interfaces));
  ++flaps_;
}

void Simulator::takeAway(U32 ordinal) {
  const Pondo::String name(intfName(ordinal));
  const Pondo::Ptr<Status> status = statusOf(ordinal);
  away_ = Away{ordinal, status ? status->intfStatusDel(name) : nullptr};
  const U32Optional gone = inputs_.ifMib->ifIndexByIntfIdDel(Lumo::IntfId(name));
  if (!trace_->enabled(1)) return;
  Pondo::fmtrace(*trace_, 1, __FILE__, __func__, __LINE__, "Simulator",
                 "{} down, ifIndex {} withdrawn", name.stdString(), gone.value());
}

void Simulator::bringBack(const Away& away) {
  const Pondo::String name(intfName(away.ordinal));
  const U32 fresh = nextIfIndex_++;
  inputs_.ifMib->ifIndexByIntfIdIs(Lumo::IntfId(name), fresh);
  if (away.status) statusOf(away.ordinal)->intfStatusIs(name, away.status);
  if (!trace_->enabled(1)) return;
  Pondo::fmtrace(*trace_, 1, __FILE__, __func__, __LINE__, "Simulator", "{} up, new ifIndex {}",
                 name.stdString(), fresh);
}

void Simulator::tick() {
  if (!job_.task()) return;
  if (roundActive_) {
    roundOwed_ = true;
    return;
  }
  roundActive_ = true;
  next_ = 0;
  job_.schedule();
}

void Simulator::onRun() {
  if (!roundActive_) return;
  const auto walked = job_.walk(Velo::IndexCursor(next_, ports_.size()), [this](const auto& at) {
    const Port& port = ports_[at.key()];
    if (storming(port.ordinal, rounds_)) advance(port);
    return true;
  });
  if (!walked.finished()) {
    next_ = *walked.bookmark;
    job_.yieldAfter(walked.visited);
    return;
  }
  ++rounds_;
  roundActive_ = false;
  if (!roundOwed_) return;
  roundOwed_ = false;
  tick();
}

void Simulator::advance(const Port& port) {
  const Pondo::Ptr<const IntfStatus> live = port.status->intfStatus(port.name);
  if (!live) return;
  Classes next = live->classes();
  const U64 step = dropStep(port.ordinal);
  for (ClassStatus& c : next.byClass) advanceClass(c, step);
  port.status->intfStatusIs(port.name, Pondo::make<IntfStatus>(port.name, next));
}

namespace {

class SimulatorSource : public StateSource {
 public:
  SimulatorSource(const SwitchInputs& inputs, const SimulatorOptions& options)
      : simulator_(inputs, options) {}

  bool start(std::string& /*error*/) override {
    simulator_.start();
    return true;
  }
  // The simulated switch has no file to re-read; saying so tells the operator the signal came.
  void reload() override {
    snmp_log(LOG_INFO, "SIGHUP: no state file to re-read; the switch is simulated\n");
  }

 private:
  Simulator simulator_;
};

}  // namespace

std::unique_ptr<StateSource> simulatorSource(const SwitchInputs& inputs,
                                             const SimulatorOptions& options) {
  return std::make_unique<SimulatorSource>(inputs, options);
}

}  // namespace Host

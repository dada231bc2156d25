// host/Simulator.cpp — the simulated switch: its ports, its thresholds and its timer.
#include "Simulator.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

namespace Host {

using Bridging::StormControl::ClassStatus;
using Bridging::StormControl::IntfStatus;
using Bridging::StormControl::Status;
using Bridging::StormControl::Threshold;
using Bridging::StormControl::ThresholdType;

namespace {

bool configured(const ClassStatus& c) { return !Threshold::isEq(c.threshold, Threshold{}); }

/// Drops added to a configured class per round: small, and different between neighbours.
U64 dropStep(U32 ordinal) { return ordinal % 5 + 1; }

void advanceClass(ClassStatus& c, U64 step) {
  if (configured(c)) c.drops += step;
}

}  // namespace

Simulator::Simulator(const SwitchInputs& inputs, const SimulatorOptions& options)
    : inputs_(inputs), options_(options) {}

Simulator::~Simulator() {
  if (alarm_) snmp_alarm_unregister(alarm_);
  taskSubscriber_.unsubscribe();
  if (task_) task_->unscheduleTask();
}

std::string Simulator::intfName(U32 ordinal) {
  return "Ethernet" + std::to_string(ordinal / portsPerModule + 1) + "/" +
         std::to_string(ordinal % portsPerModule + 1);
}

U32 Simulator::ifIndex(U32 ordinal) {
  return (ordinal / portsPerModule + 1) * 1000 + ordinal % portsPerModule + 1;
}

std::string Simulator::sliceName(U32 slice) { return "slice" + std::to_string(slice); }

IntfStatus::Classes Simulator::initialClasses(U32 ordinal) {
  IntfStatus::Classes c;
  switch (ordinal % 4) {
    case 1:
      c.all.threshold = {500, ThresholdType::packetsPerSecond, 4};
      c.broadcast.threshold = {1000, ThresholdType::packetsPerSecond, 4};
      break;
    case 2:
      c.broadcast.threshold = {100000, ThresholdType::kilobitsPerSecond, 3};
      c.multicast.threshold = {50, ThresholdType::percentage, 2};
      break;
    case 3:
      c.all.threshold = {8000, ThresholdType::percentage, 4};
      c.unknownUnicast.threshold = {2000, ThresholdType::packetsPerSecond, 4};
      break;
    default:
      break;
  }
  return c;
}

void Simulator::start() {
  std::vector<Pondo::Ptr<Status>> slices;
  for (U32 s = 0; s < options_.slices; ++s) {
    slices.push_back(Pondo::make<Status>(Pondo::String(sliceName(s))));
    inputs_.slice->entityIs(slices.back());
  }
  for (U32 i = 0; i < options_.interfaces; ++i) {
    const Pondo::String name(intfName(i));
    inputs_.ifMib->ifIndexByIntfIdIs(Lumo::IntfId(name), ifIndex(i));
    if (slices.empty()) continue;
    const Pondo::Ptr<Status>& status = slices[U64(i) * slices.size() / options_.interfaces];
    const IntfStatus::Classes classes = initialClasses(i);
    status->intfStatusIs(name, Pondo::make<IntfStatus>(name, classes));
    if (i % 4 != 0) ports_.push_back({name, status, i});
  }
  if (options_.intervalMs == 0 || ports_.empty()) return;
  task_ =
      Pondo::make<Velo::Task>(inputs_.scheduler, taskPriority, Pondo::String("Host::Simulator"));
  task_->publisher()->subscriberAdd(taskSubscriber_, false);
  struct timeval interval {};
  interval.tv_sec = options_.intervalMs / 1000;
  interval.tv_usec = suseconds_t(options_.intervalMs % 1000) * 1000;
  alarm_ = snmp_alarm_register_hr(interval, SA_REPEAT, &Simulator::alarm, this);
}

void Simulator::alarm(unsigned int /*registration*/, void* self) {
  static_cast<Simulator*>(self)->tick();
}

void Simulator::tick() {
  if (!task_) return;
  if (roundActive_) {
    roundOwed_ = true;
    return;
  }
  roundActive_ = true;
  next_ = 0;
  task_->scheduleTask();
}

void Simulator::onRun(const Pondo::Change& change) {
  if (change.attribute != Velo::Task::runAttribute || !roundActive_) return;
  while (next_ < ports_.size()) {
    const Port& port = ports_[next_++];
    if (!storming(port.ordinal, rounds_)) continue;
    advance(port);
    task_->taskWorkCountInc(1);
    if (next_ < ports_.size() && task_->taskShouldYield()) {
      task_->scheduleTask();
      return;
    }
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
  IntfStatus::Classes next{live->all(), live->broadcast(), live->multicast(),
                           live->unknownUnicast()};
  const U64 step = dropStep(port.ordinal);
  advanceClass(next.all, step);
  advanceClass(next.broadcast, step);
  advanceClass(next.multicast, step);
  advanceClass(next.unknownUnicast, step);
  port.status->intfStatusIs(port.name, Pondo::make<IntfStatus>(port.name, next));
}

}  // namespace Host

// Bridging/IntfStatus.h — the published storm-control status of one interface.
///
/// For each traffic class an interface has a threshold and a counter of the packets storm
/// control dropped, kept in an array indexed by the class. A status object is immutable once
/// published: a change of status is a new object replacing the old one in the status entity's
/// `intfStatus` collection, so readers holding the old one keep a consistent view.
#pragma once

#include <array>

#include "Bridging/Threshold.h"
#include "Bridging/TrafficClass.h"
#include "Pooly/Slab.h"
#include "Qel/Entity.h"

namespace Bridging::StormControl {

/// Threshold and drop counter of one traffic class.
struct ClassStatus {
  Threshold threshold;
  U64 drops = 0;

  bool operator==(const ClassStatus&) const = default;
};

/// The status of every traffic class, indexed by the class.
struct Classes {
  std::array<ClassStatus, trafficClassCount> byClass;

  ClassStatus& operator[](TrafficClass c) noexcept { return byClass[std::size_t(c)]; }
  const ClassStatus& operator[](TrafficClass c) const noexcept { return byClass[std::size_t(c)]; }
  bool operator==(const Classes&) const = default;
};

class IntfStatus : public Qel::Entity, public Pooly::Slab<IntfStatus> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{"Bridging::StormControl::IntfStatus"};

  IntfStatus(const Pondo::String& intfName, const Classes& classes)
      : Qel::Entity(intfName), classes_(classes) {}

  const Qel::TypeData* typeData() const override;

  const Classes& classes() const noexcept { return classes_; }
  const ClassStatus& classStatus(TrafficClass c) const noexcept { return classes_[c]; }

 private:
  Classes classes_;
};

}  // namespace Bridging::StormControl

// Bridging/IntfStatus.h — the published storm-control status of one interface.
///
/// For each of four traffic classes an interface has a threshold and a counter of the packets
/// storm control dropped. A status object is immutable once published: a change of status is a
/// new object replacing the old one in the status entity's `intfStatus` collection, so readers
/// holding the old one keep a consistent view.
#pragma once

#include "Bridging/Threshold.h"
#include "Pooly/Slab.h"
#include "Qel/Entity.h"

namespace Bridging::StormControl {

/// Threshold and drop counter of one traffic class.
struct ClassStatus {
  Threshold threshold;
  U64 drops = 0;
};

class IntfStatus : public Qel::Entity, public Pooly::Slab<IntfStatus> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{"Bridging::StormControl::IntfStatus"};

  struct Classes {
    ClassStatus all;
    ClassStatus broadcast;
    ClassStatus multicast;
    ClassStatus unknownUnicast;
  };

  IntfStatus(const Pondo::String& intfName, const Classes& classes)
      : Qel::Entity(intfName), classes_(classes) {}

  const Qel::TypeData* typeData() const override;

  const ClassStatus& all() const noexcept { return classes_.all; }
  const ClassStatus& broadcast() const noexcept { return classes_.broadcast; }
  const ClassStatus& multicast() const noexcept { return classes_.multicast; }
  const ClassStatus& unknownUnicast() const noexcept { return classes_.unknownUnicast; }

 private:
  Classes classes_;
};

}  // namespace Bridging::StormControl

// Bridging/Status.h — a storm-control status entity: the status of every interface it covers.
///
/// One status entity is published per forwarding slice; its collection `intfStatus` (attribute
/// 258) maps interface names to immutable `IntfStatus` objects. Every change of the collection
/// is published with the interface name (`Pondo::String`) as key and, for a replacement or
/// removal, the previous `Pondo::Ptr<const IntfStatus>` as previous value.
#pragma once

#include "Bridging/IntfStatus.h"
#include "Pondo/Publisher.h"
#include "Qel/HashMap2018.h"

namespace Bridging::StormControl {

class Status : public Qel::Entity, public Pooly::Slab<Status> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{"Bridging::StormControl::Status"};
  static constexpr U16 intfStatusAttr = 258;
  using IntfStatusMap = Qel::HashMap2018<Pondo::String, Pondo::Ptr<const IntfStatus>>;

  explicit Status(const Pondo::String& name) : Qel::Entity(name) {}
  ~Status() override;

  Pondo::Publisher* publisher() const override { return &publisher_; }
  const Qel::TypeData* typeData() const override;

  const IntfStatusMap& intfStatus() const noexcept { return intfStatus_; }
  /// The status of interface `intfName`, or null.
  Pondo::Ptr<const IntfStatus> intfStatus(const Pondo::String& intfName) const;
  /// Publishes `status` for `intfName`, replacing what was there; nothing when it is the same.
  void intfStatusIs(const Pondo::String& intfName, const Pondo::Ptr<const IntfStatus>& status);
  /// Withdraws the status of `intfName`; returns it, or null when there was none.
  Pondo::Ptr<const IntfStatus> intfStatusDel(const Pondo::String& intfName);

 private:
  mutable Pondo::Publisher publisher_;
  IntfStatusMap intfStatus_;
};

}  // namespace Bridging::StormControl

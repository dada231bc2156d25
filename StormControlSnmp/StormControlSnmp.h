// StormControlSnmp/StormControlSnmp.h — the storm-control MIB data model.
///
/// `StormControlTCType` is the traffic class of a row; `StormControlIfTableKey` (ifIndex, then
/// traffic class) is the row key, whose order is the table's SNMP index order.
/// `StormControlIfTableEntry` is one row: its key and a counted reference to the interface's
/// status, from which the three column values are derived on every read.
/// `StormControlMib` is the table entity: its rows form the ordered collection
/// `stormControlIfTable` (attribute 258), and every insertion and removal is published.
///
/// Invariants: keys in the table are unique; a row's key and status never change while it is a
/// member (a new status means removing the row and inserting a new one). One writer (the table
/// maintenance machine), any number of readers, one thread.
#pragma once

#include <compare>
#include <iosfwd>
#include <iterator>

#include "Bridging/IntfStatus.h"
#include "Pondo/Ptr.h"
#include "Pondo/Publisher.h"
#include "Pondo/String.h"
#include "Pooly/Slab.h"
#include "Qel/CharRange.h"
#include "Qel/Entity.h"
#include "Qel/Module.h"
#include "Qel/RbTreeMap.h"
#include "StormControlSnmp/StormControlSnmpContract.h"

namespace StormControlSnmp {

/// The registered type module of the data model: TCType, key, entry, MIB entity, in that order.
const Qel::Module& stormControlSnmpModule();

// ---- traffic class ----------------------------------------------------------------------

enum class StormControlTCType : U8 {
  all = 0,
  broadcast = 1,
  multicast = 2,
  unknownUnicast = 3,
};

/// The number of traffic classes: one past the last enumerator.
inline constexpr U8 stormControlTCTypeCount =
    static_cast<U8>(StormControlTCType::unknownUnicast) + 1;

/// Every traffic class in index order: the rows of one interface, in key order.
inline constexpr StormControlTCType stormControlTCTypes[] = {
    StormControlTCType::all, StormControlTCType::broadcast, StormControlTCType::multicast,
    StormControlTCType::unknownUnicast};
static_assert(std::size(stormControlTCTypes) == stormControlTCTypeCount);

// The table's traffic classes are the status model's, number for number; their names are the
// model's too (the type module registers them from `trafficClassNames`).
static_assert(stormControlTCTypeCount == Bridging::StormControl::trafficClassCount);
static_assert(U8(StormControlTCType::all) == U8(Bridging::StormControl::TrafficClass::all));
static_assert(U8(StormControlTCType::broadcast) ==
              U8(Bridging::StormControl::TrafficClass::broadcast));
static_assert(U8(StormControlTCType::multicast) ==
              U8(Bridging::StormControl::TrafficClass::multicast));
static_assert(U8(StormControlTCType::unknownUnicast) ==
              U8(Bridging::StormControl::TrafficClass::unknownUnicast));

/// The traffic class with `number`; `Qel::RangeException` outside 0 to 3.
StormControlTCType StormControlTCTypeInstance(unsigned number);
/// The traffic class whose name text is `name`; `Qel::RangeException` for any other name.
StormControlTCType StormControlTCTypeInstance(const Pondo::String& name);
Pondo::String stringValue(StormControlTCType value);
std::ostream& operator<<(std::ostream& out, const StormControlTCType& value);
/// Reads a traffic-class name at the front of `range`; `Qel::RangeException` for other names.
StormControlTCType sequenceToValue(Qel::CharRange& range, StormControlTCType*);

// ---- row key ----------------------------------------------------------------------------

class StormControlIfTableKey {
 public:
  enum Attr : U16 { ifIndexAttr = 2, trafficClassAttr };

  StormControlIfTableKey() noexcept = default;
  StormControlIfTableKey(U32 ifIndex, StormControlTCType trafficClass) noexcept
      : ifIndex_(ifIndex), trafficClass_(trafficClass) {}
  /// Parses a key from the front of `range`.
  explicit StormControlIfTableKey(Qel::CharRange& range);

  U32 ifIndex() const noexcept { return ifIndex_; }
  StormControlTCType trafficClass() const noexcept { return trafficClass_; }

  /// Equality in the untyped form of change notifications.
  static bool isEq(const void* a, const void* b) noexcept;
  U32 hash(U32 seed) const noexcept;
  bool isNonDefault() const noexcept {
    return ifIndex_ != 0 || trafficClass_ != StormControlTCType::all;
  }

  /// ifIndex first (unsigned), then the traffic-class number.
  std::strong_ordering operator<=>(const StormControlIfTableKey& other) const noexcept {
    return packed() <=> other.packed();
  }
  bool operator==(const StormControlIfTableKey& other) const noexcept {
    return packed() == other.packed();
  }

 private:
  U64 packed() const noexcept {
    return Contract::packedKey(ifIndex_, static_cast<U8>(trafficClass_));
  }

  U32 ifIndex_ = 0;
  StormControlTCType trafficClass_ = StormControlTCType::all;
};

/// The key's generic text, `{ifIndex=5, trafficClass=all}`.
std::ostream& operator<<(std::ostream& out, const StormControlIfTableKey& key);

// ---- row --------------------------------------------------------------------------------

class StormControlIfTableEntry : public Pondo::Node, public Pooly::Slab<StormControlIfTableEntry> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{
      "StormControlSnmp::StormControlIfTableEntry"};
  enum Attr : U16 {
    keyAttr = 130,
    ifIndexAttr,
    trafficClassAttr,
    statusAttr,
    thresholdLevelAttr,
    thresholdUnitsAttr,
    dropsAttr,
  };

  StormControlIfTableEntry(StormControlIfTableKey key,
                           const Pondo::Ptr<const Bridging::StormControl::IntfStatus>& status)
      : key_(key), status_(status) {}
  ~StormControlIfTableEntry() override;

  virtual const Qel::TypeData* typeData() const;
  static const Qel::TypeData& fwkType();

  const StormControlIfTableKey& key() const noexcept { return key_; }
  U32 ifIndex() const noexcept { return key_.ifIndex(); }
  StormControlTCType trafficClass() const noexcept { return key_.trafficClass(); }
  const Pondo::Ptr<const Bridging::StormControl::IntfStatus>& status() const noexcept {
    return status_;
  }

  /// The class's threshold level; 0 while the threshold is the model's default.
  U64 thresholdLevel() const;
  Bridging::StormControl::ThresholdType thresholdUnits() const;
  U64 drops() const;

  // Links of the table's tree (this type is its own tree hook).
  static Qel::RbTreeLinks<StormControlIfTableEntry>& rbLinks(StormControlIfTableEntry& e) noexcept {
    return e.links_;
  }
  static const Qel::RbTreeLinks<StormControlIfTableEntry>& rbLinks(
      const StormControlIfTableEntry& e) noexcept {
    return e.links_;
  }
  static const StormControlIfTableKey& rbKey(const StormControlIfTableEntry& e) noexcept {
    return e.key_;
  }

 private:
  StormControlIfTableKey key_;
  Pondo::Ptr<const Bridging::StormControl::IntfStatus> status_;
  Qel::RbTreeLinks<StormControlIfTableEntry> links_;
};

// ---- table entity -----------------------------------------------------------------------

class StormControlMib : public Qel::Entity, public Pooly::Slab<StormControlMib> {
 public:
  static inline Pooly::AllocTracker memAllocationTracker_{"StormControlSnmp::StormControlMib"};
  using Table =
      Qel::RbTreeMap<StormControlIfTableEntry, StormControlIfTableKey, StormControlIfTableEntry>;
  using Iterator = Table::Iterator;
  enum Attr : U16 {
    nameStringAttr = 154,
    /// Publications of `stormControlIfTable` carry this number, the member's key
    /// (`StormControlIfTableKey`) and, for removals, the removed row as previous value
    /// (a `Pondo::Ptr<StormControlIfTableEntry>`; null for insertions).
    stormControlIfTableAttr = 258,
  };

  explicit StormControlMib(const Pondo::String& name) : Qel::Entity(name) {}
  ~StormControlMib() override;

  static Pondo::Ptr<StormControlMib> StormControlMibIs(const Pondo::String& name);

  Pondo::Publisher* publisher() const override { return &publisher_; }
  const Qel::TypeData* typeData() const override;

  const Table& stormControlIfTable() const noexcept { return stormControlIfTable_; }
  /// The row with `key`, or null.
  StormControlIfTableEntry* stormControlIfTable(const StormControlIfTableKey& key) const {
    return stormControlIfTable_[key];
  }

  /// Inserts the row (key, status), or returns the present row when it already refers to
  /// `status`; a present row with another status raises the mutator-reinstantiating error.
  Pondo::Ptr<StormControlIfTableEntry> stormControlIfTableIs(
      StormControlIfTableKey key,
      const Pondo::Ptr<const Bridging::StormControl::IntfStatus>& status);
  /// Makes the row at `key` refer to `status`: keeps a row that already does, replaces one that
  /// refers to another status (`Del`, then `Is`, each published: `Contract::RowReplaced`),
  /// inserts one otherwise. One search when the row is absent or already right.
  void stormControlIfTableReplace(
      StormControlIfTableKey key,
      const Pondo::Ptr<const Bridging::StormControl::IntfStatus>& status);
  /// Removes the row with `key` and returns it; null when there is none.
  Pondo::Ptr<StormControlIfTableEntry> stormControlIfTableDel(StormControlIfTableKey key);
  /// Removes the iterator's current row and returns it; the iterator is not moved.
  Pondo::Ptr<StormControlIfTableEntry> stormControlIfTableDel(const Iterator& it);
  /// Removes `row`, a member found by a lookup just made, without searching for it again.
  Pondo::Ptr<StormControlIfTableEntry> stormControlIfTableDel(StormControlIfTableEntry& row) {
    return unlinkAndPublish(row);
  }
  /// Removes every row, in ascending key order, publishing each removal.
  void stormControlIfTableDelAll();

 private:
  Pondo::Ptr<StormControlIfTableEntry> insertAndPublish(
      const Table::InsertPosition& at, StormControlIfTableKey key,
      const Pondo::Ptr<const Bridging::StormControl::IntfStatus>& status);
  Pondo::Ptr<StormControlIfTableEntry> unlinkAndPublish(StormControlIfTableEntry& row);

  mutable Pondo::Publisher publisher_;
  Table stormControlIfTable_;
};

/// A new table entity named `name`; the framework's factory for this type.
Pondo::Ptr<StormControlMib> stormControlMibFactory(const Pondo::String& name);

}  // namespace StormControlSnmp

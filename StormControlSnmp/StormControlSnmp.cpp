// StormControlSnmp/StormControlSnmp.cpp — the data model and its type module.
#include "StormControlSnmp/StormControlSnmp.h"

#include <ostream>

#include "Qel/EnumType.h"
#include "Qel/Exception.h"
#include "Qel/Hash.h"
#include "Qel/Registration.h"
#include "Qel/Strep.h"

namespace StormControlSnmp {

namespace {

using Bridging::StormControl::ClassStatus;
using Bridging::StormControl::IntfStatus;
using Bridging::StormControl::Threshold;
using Bridging::StormControl::ThresholdType;
using Bridging::StormControl::TrafficClass;
using Entry = StormControlIfTableEntry;
using Key = StormControlIfTableKey;
using StatusPtr = Pondo::Ptr<const IntfStatus>;

enum TypeIndex : U16 { tcTypeIndex, keyIndex, entryIndex, mibIndex };

const Qel::TypeData& tcType() { return stormControlSnmpModule().type(tcTypeIndex); }
const Qel::TypeData& keyType() { return stormControlSnmpModule().type(keyIndex); }

void registerTcType(Qel::Module& m) {
  Qel::TypeData& t = m.typeIs("StormControlSnmp::StormControlTCType", Qel::TypeKind::enumeration);
  std::vector<Qel::Enumerator> enumerators;
  for (const char* name : Bridging::StormControl::trafficClassNames) {
    enumerators.push_back({name, U32(enumerators.size())});
  }
  t.enumeratorsIs(std::move(enumerators));
  Qel::TypeOps ops = Qel::Reg::valueOps<StormControlTCType>();
  ops.construct = [](const Qel::Args& args) {
    return Qel::Value(StormControlTCTypeInstance(Qel::arg<U32>(args, 0)));
  };
  ops.isNonDefault = [](const void* v) {
    return *static_cast<const StormControlTCType*>(v) != StormControlTCType::all;
  };
  t.opsIs(std::move(ops));
}

void registerKey(Qel::Module& m) {
  Qel::TypeData& t = m.typeIs("StormControlSnmp::StormControlIfTableKey", Qel::TypeKind::value);
  t.attributeIs(Qel::Reg::field<Key>(Key::ifIndexAttr, "ifIndex", &Key::ifIndex, true));
  t.attributeIs(
      Qel::Reg::field<Key>(Key::trafficClassAttr, "trafficClass", &Key::trafficClass, true));
  Qel::TypeOps ops = Qel::Reg::valueOps<Key>();
  ops.construct = [](const Qel::Args& args) {
    return Qel::Value(Key(Qel::arg<U32>(args, 0), Qel::arg<StormControlTCType>(args, 1)));
  };
  ops.isNonDefault = [](const void* v) { return static_cast<const Key*>(v)->isNonDefault(); };
  t.opsIs(std::move(ops));
}

void registerEntry(Qel::Module& m) {
  Qel::TypeData& t = m.typeIs("StormControlSnmp::StormControlIfTableEntry", Qel::TypeKind::node);
  t.attributeIs(Qel::Reg::field<Entry>(Entry::keyAttr, "key", &Entry::key, true));
  t.attributeIs(Qel::Reg::computed<Entry>(Entry::ifIndexAttr, "ifIndex", &Entry::ifIndex));
  t.attributeIs(
      Qel::Reg::computed<Entry>(Entry::trafficClassAttr, "trafficClass", &Entry::trafficClass));
  t.attributeIs(Qel::Reg::field<Entry>(Entry::statusAttr, "status", &Entry::status, true));
  t.attributeIs(Qel::Reg::computed<Entry>(Entry::thresholdLevelAttr, "thresholdLevel",
                                          &Entry::thresholdLevel));
  t.attributeIs(Qel::Reg::computed<Entry>(Entry::thresholdUnitsAttr, "thresholdUnits",
                                          &Entry::thresholdUnits));
  t.attributeIs(Qel::Reg::computed<Entry>(Entry::dropsAttr, "drops", &Entry::drops));
  Qel::TypeOps ops;
  ops.construct = [](const Qel::Args& args) {
    return Qel::Value(Pondo::make<Entry>(Qel::arg<Key>(args, 0), Qel::arg<StatusPtr>(args, 1)));
  };
  t.opsIs(std::move(ops));
}

Qel::CollectionAccess tableAccess() {
  auto table = [](const void* obj) -> const StormControlMib::Table& {
    return static_cast<const StormControlMib*>(obj)->stormControlIfTable();
  };
  Qel::CollectionAccess c;
  c.find = [table](const void* obj, const Qel::Value& key) {
    Entry* row = table(obj)[std::any_cast<Key>(key)];
    return row ? Qel::Value(Pondo::Ptr<Entry>(row)) : Qel::Value();
  };
  c.contains = [table](const void* obj, const Qel::Value& key) {
    return table(obj)[std::any_cast<Key>(key)] != nullptr;
  };
  c.count = [table](const void* obj) { return table(obj).count(); };
  c.version = [table](const void* obj) { return table(obj).version(); };
  c.iterate = [table](const void* obj, const Qel::Value* from, const auto& visit) {
    auto it = from ? table(obj).iteratorAt(std::any_cast<Key>(*from)) : table(obj).begin();
    for (; !it.atEnd(); ++it) {
      if (!visit(Qel::Value(it->key()), Qel::Value(Pondo::Ptr<Entry>(&*it)))) return;
    }
  };
  return c;
}

void registerMib(Qel::Module& m) {
  Qel::TypeData& t = m.typeIs(Contract::mibType, Qel::TypeKind::entity);
  t.attributeIs(Qel::Reg::computed<StormControlMib>(StormControlMib::nameStringAttr, "nameString",
                                                    &StormControlMib::name));
  Qel::Attribute table{StormControlMib::stormControlIfTableAttr, "stormControlIfTable",
                       Qel::AttrKind::collection};
  table.set = [](void* obj, const Qel::Args& args) {
    static_cast<StormControlMib*>(obj)->stormControlIfTableIs(Qel::arg<Key>(args, 0),
                                                              Qel::arg<StatusPtr>(args, 1));
  };
  table.del = [](void* obj, const Qel::Args& args) {
    auto removed =
        static_cast<StormControlMib*>(obj)->stormControlIfTableDel(Qel::arg<Key>(args, 0));
    return removed ? Qel::Value(removed) : Qel::Value();
  };
  table.collection = tableAccess();
  t.attributeIs(std::move(table));
  Qel::TypeOps ops;
  ops.construct = [](const Qel::Args& args) {
    return Qel::Value(StormControlMib::StormControlMibIs(Qel::arg<Pondo::String>(args, 0)));
  };
  ops.newEntity = [](const Pondo::String& name, const Qel::Args* args) -> Pondo::Ptr<Qel::Entity> {
    if (args) Qel::throwNewEntityArgsException(Contract::mibType);
    return StormControlMib::StormControlMibIs(name);
  };
  t.opsIs(std::move(ops));
}

void build(Qel::Module& module) {
  registerTcType(module);
  registerKey(module);
  registerEntry(module);
  registerMib(module);
}

Qel::Module& moduleDefinition() { return Qel::Reg::moduleDefinition<build>("StormControlSnmp"); }

const bool registered = Qel::Reg::registeredAtLoad(moduleDefinition());

/// The status fields of `trafficClass`, or null for a class outside 0 to 3.
const ClassStatus* classStatus(const IntfStatus& status, StormControlTCType trafficClass) {
  const auto index = std::size_t(trafficClass);
  if (index >= Bridging::StormControl::trafficClassCount) return nullptr;
  return &status.classStatus(TrafficClass(index));
}

}  // namespace

const Qel::Module& stormControlSnmpModule() { return moduleDefinition(); }

// ---- traffic class ----------------------------------------------------------------------

StormControlTCType StormControlTCTypeInstance(unsigned number) {
  return StormControlTCType(Qel::EnumType::instance(tcType(), number));
}

StormControlTCType StormControlTCTypeInstance(const Pondo::String& name) {
  return StormControlTCType(Qel::EnumType::instance(tcType(), name.view()));
}

Pondo::String stringValue(StormControlTCType value) {
  return Qel::EnumType::stringValue(tcType(), static_cast<U8>(value));
}

std::ostream& operator<<(std::ostream& out, const StormControlTCType& value) {
  return out << stringValue(value);
}

StormControlTCType sequenceToValue(Qel::CharRange& range, StormControlTCType*) {
  return StormControlTCType(Qel::EnumType::sequenceToValue(tcType(), range));
}

// ---- row key ----------------------------------------------------------------------------

StormControlIfTableKey::StormControlIfTableKey(Qel::CharRange& range)
    : ifIndex_(Qel::desAttrPre<U32>(range, "StormControlSnmp::StormControlIfTableKey", "ifIndex")) {
  Qel::CharRange::needSep(range, "trafficClass");
  Qel::DesAttrPost post(range);
  try {
    trafficClass_ = sequenceToValue(range, static_cast<StormControlTCType*>(nullptr));
  } catch (const Qel::RangeException& e) {
    Qel::rethrowFromDeserializeAttr(e, "trafficClass");
  }
  post.close();
}

bool StormControlIfTableKey::isEq(const void* a, const void* b) noexcept {
  return Qel::Reg::untypedEq<Key>(a, b);
}

U32 StormControlIfTableKey::hash(U32 seed) const noexcept {
  Qel::Hash h(seed);
  h.hashMix<4>(ifIndex_);
  h.hashMix<4>(static_cast<U32>(trafficClass_));
  return h.result();
}

std::ostream& operator<<(std::ostream& out, const StormControlIfTableKey& key) {
  return out << Qel::valueToStrep(&key, keyType());
}

// ---- row --------------------------------------------------------------------------------

StormControlIfTableEntry::~StormControlIfTableEntry() {
  nodeFlagSet(Flag::hasNotificationActive, false);
}

const Qel::TypeData* StormControlIfTableEntry::typeData() const { return &fwkType(); }

const Qel::TypeData& StormControlIfTableEntry::fwkType() {
  return stormControlSnmpModule().type(entryIndex);
}

U64 StormControlIfTableEntry::thresholdLevel() const {
  const StatusPtr status = status_;  // held for the read
  const ClassStatus* c = status ? classStatus(*status, trafficClass()) : nullptr;
  if (!c || Threshold::isEq(c->threshold, Threshold())) return 0;
  return c->threshold.level;
}

ThresholdType StormControlIfTableEntry::thresholdUnits() const {
  const StatusPtr status = status_;
  const ClassStatus* c = status ? classStatus(*status, trafficClass()) : nullptr;
  return c ? c->threshold.type : ThresholdType{};
}

U64 StormControlIfTableEntry::drops() const {
  const StatusPtr status = status_;
  const ClassStatus* c = status ? classStatus(*status, trafficClass()) : nullptr;
  return c ? c->drops : 0;
}

// ---- table entity -----------------------------------------------------------------------

StormControlMib::~StormControlMib() {
  nodeFlagSet(Flag::hasNotificationActive, false);
  stormControlIfTableDelAll();
}

Pondo::Ptr<StormControlMib> StormControlMib::StormControlMibIs(const Pondo::String& name) {
  return Pondo::make<StormControlMib>(name);
}

const Qel::TypeData* StormControlMib::typeData() const {
  return &stormControlSnmpModule().type(mibIndex);
}

Pondo::Ptr<Entry> StormControlMib::stormControlIfTableIs(Key key, const StatusPtr& status) {
  const Table::InsertPosition at = stormControlIfTable_.lookupForInsert(key);
  if (Entry* present = at.found) {
    if (present->status() == status) return Pondo::Ptr<Entry>(present);
    Qel::throwMutatorReinstantiating("StormControlSnmp::StormControlIfTableEntry", "status",
                                     present->status().get(), status.get());
  }
  return insertAndPublish(at, key, status);
}

void StormControlMib::stormControlIfTableReplace(Key key, const StatusPtr& status) {
  const Table::InsertPosition at = stormControlIfTable_.lookupForInsert(key);
  Entry* present = at.found;
  if (!present) {
    insertAndPublish(at, key, status);
    return;
  }
  if (present->status() == status) return;
  // Searches again on insertion: the removal changed the tree.
  Contract::RowReplaced::publish([&] { unlinkAndPublish(*present); },
                                 [&] { stormControlIfTableIs(key, status); });
}

Pondo::Ptr<Entry> StormControlMib::insertAndPublish(const Table::InsertPosition& at, Key key,
                                                    const StatusPtr& status) {
  Pondo::Ptr<Entry> row = Pondo::make<Entry>(key, status);
  stormControlIfTable_.insertAt(at, row);
  publisher_.publishChangeRecursive(stormControlIfTableAttr, &row->key(), nullptr, &Key::isEq);
  return row;
}

Pondo::Ptr<Entry> StormControlMib::stormControlIfTableDel(Key key) {
  Entry* row = stormControlIfTable_[key];
  return row ? unlinkAndPublish(*row) : nullptr;
}

Pondo::Ptr<Entry> StormControlMib::stormControlIfTableDel(const Iterator& it) {
  return unlinkAndPublish(*it);
}

void StormControlMib::stormControlIfTableDelAll() {
  for (Iterator it = stormControlIfTable_.begin(); !it.atEnd(); ++it) stormControlIfTableDel(it);
}

Pondo::Ptr<Entry> StormControlMib::unlinkAndPublish(Entry& row) {
  Pondo::Ptr<Entry> removed = stormControlIfTable_.remove(row);
  publisher_.publishChangeRecursive(stormControlIfTableAttr, &removed->key(), &removed, &Key::isEq);
  return removed;
}

Pondo::Ptr<StormControlMib> stormControlMibFactory(const Pondo::String& name) {
  return StormControlMib::StormControlMibIs(name);
}

}  // namespace StormControlSnmp

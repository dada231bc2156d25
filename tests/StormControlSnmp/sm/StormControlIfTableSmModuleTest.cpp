// The machine's registered type module, its output key, generic access to its seen set and the
// order of its teardown.
#include "StormControlSnmp/StormControlIfTableSm.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Qel/Exception.h"
#include "SmFixture.h"

namespace StormControlSnmp::SmTest {
namespace {

using OutputKey = Sm::MibStormControlIfTableOutputKeyType;
using Qel::AttrKind;
using Qel::TypeKind;

struct ExpectedAttr {
  U16 number;
  std::string name;
  AttrKind kind;
  bool ctorArg = false;
};
struct ExpectedType {
  std::string name;
  TypeKind kind;
  std::vector<ExpectedAttr> attributes;
};

const std::string smNamespace = "StormControlSnmp::KrelCode::StormControlIfTableSm::";

/// The module as the framework and every change publication see it: the seven types in
/// order, each attribute's number, name and kind in registration order, and which attributes
/// are constructor arguments.
const std::vector<ExpectedType>& expectedModule() {
  static const std::vector<ExpectedType> types{
      {smNamespace + "InputSmScanState",
       TypeKind::node,
       {{130, "handleIdle", AttrKind::handler},
        {131, "ifMibStreamScan", AttrKind::field},
        {132, "statusStreamScan", AttrKind::field},
        {133, "idle", AttrKind::field}}},
      {smNamespace + "OutputState",
       TypeKind::node,
       {{130, "mibStormControlIfTableOutputReady", AttrKind::field},
        {131, "ready", AttrKind::field},
        {132, "handleReady", AttrKind::handler}}},
      {smNamespace + "EntityPtrSm1",
       TypeKind::node,
       {{258, "en", AttrKind::field, true},
        {259, "parent", AttrKind::field, true},
        {260, "root", AttrKind::operation},
        {262, "smKey", AttrKind::computed},
        {263, "doDeleteAll", AttrKind::operation},
        {264, "shouldYield0", AttrKind::operation},
        {265, "inTask0", AttrKind::operation},
        {266, "inputScanBookmark0", AttrKind::field},
        {267, "inputScanState0", AttrKind::field},
        {268, "inputScanComplete0", AttrKind::operation},
        {269, "versionIntfStatus", AttrKind::field},
        {270, "handleIntfStatus0", AttrKind::handler},
        {271, "handleIntfStatus0Reactor", AttrKind::handler},
        {272, "doInputScan0", AttrKind::operation}}},
      {smNamespace + "IfMibSm2",
       TypeKind::node,
       {{258, "en", AttrKind::field, true},
        {259, "parent", AttrKind::field, true},
        {260, "root", AttrKind::operation},
        {262, "doDeleteAll", AttrKind::operation},
        {263, "shouldYield1", AttrKind::operation},
        {264, "inTask1", AttrKind::operation},
        {265, "inputScanBookmark1", AttrKind::field},
        {266, "inputScanState1", AttrKind::field},
        {267, "inputScanComplete1", AttrKind::operation},
        {268, "versionIfIndexByIntfId", AttrKind::field},
        {269, "handleIfIndexByIntfId1", AttrKind::handler},
        {270, "handleIfIndexByIntfId1Reactor", AttrKind::handler},
        {271, "doInputScan1", AttrKind::operation},
        {272, "task1", AttrKind::pointer}}},
      {smNamespace + "SliceSm0",
       TypeKind::node,
       {{258, "en", AttrKind::field, true},
        {259, "parent", AttrKind::field, true},
        {260, "root", AttrKind::operation},
        {263, "doDeleteAll", AttrKind::operation},
        {264, "shouldYield0", AttrKind::operation},
        {265, "inTask0", AttrKind::operation},
        {266, "inputScanBookmark0", AttrKind::field},
        {267, "inputScanState0", AttrKind::field},
        {268, "inputScanComplete0", AttrKind::operation},
        {269, "childSmEntityPtrBridgingStormControlStatusPtrConst", AttrKind::collection},
        {270, "handleEntityPtr0", AttrKind::handler},
        {271, "handleEntityPtr0Reactor", AttrKind::handler},
        {272, "doInputScan0", AttrKind::operation},
        {273, "task0", AttrKind::pointer}}},
      {"StormControlSnmp::StormControlIfTableSm::MibStormControlIfTableOutputKeyType",
       TypeKind::value,
       {{2, "k0", AttrKind::field, true},
        {3, "k0Valid", AttrKind::field},
        {4, "validate", AttrKind::operation}}},
      {"StormControlSnmp::StormControlIfTableSm",
       TypeKind::node,
       {{130, "mib", AttrKind::field, true},
        {131, "slice", AttrKind::field, true},
        {132, "ifMib", AttrKind::field, true},
        {133, "inputSmScanState", AttrKind::pointer},
        {134, "outputState", AttrKind::pointer},
        {135, "ifMibSm2", AttrKind::pointer},
        {136, "sliceSm0", AttrKind::pointer},
        {137, "handleMibStormControlIfTableOutputInputReady", AttrKind::handler},
        {138, "mibStormControlIfTableOutputSeen", AttrKind::collection},
        {139, "mibStormControlIfTableOutputReconciliationTask", AttrKind::pointer},
        {140, "mibStormControlIfTableOutputBookmark", AttrKind::computed},
        {141, "mibStormControlIfTableOutputReconciling", AttrKind::computed},
        {142, "mibStormControlIfTableOutputUseBookmark", AttrKind::computed},
        {143, "doDeleteAll", AttrKind::operation},
        {144, "krelControl", AttrKind::computed, true},
        {146, "synchronous", AttrKind::computed},
        {147, "defaultSynchronous", AttrKind::operation},
        {148, "scheduler", AttrKind::field},
        {149, "priority", AttrKind::field},
        {151, "idle", AttrKind::operation},
        {152, "ready", AttrKind::operation},
        {153, "initialScanDone", AttrKind::computed},
        {154, "handleInitialScanDone", AttrKind::handler},
        {155, "initialized", AttrKind::computed},
        {156, "handleInitialized", AttrKind::handler}}},
  };
  return types;
}

// Every type in its place and every attribute with its number, name, kind and constructor
// role, in registration order; the module is the one the framework finds by name, each type
// knows its index, and lookups by number and by name agree.
TEST(StormControlIfTableSmModuleTest, TypesAttributesAndConstructorArguments) {
  const Qel::Module& m = stormControlIfTableSmModule();
  EXPECT_EQ(Qel::qelModule("StormControlIfTableSm"), &m);
  const auto& expected = expectedModule();
  ASSERT_EQ(m.typeCount(), expected.size());
  for (U16 i = 0; i < expected.size(); ++i) {
    const Qel::TypeData& type = m.type(i);
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(type.name(), expected[i].name);
    EXPECT_EQ(type.kind(), expected[i].kind);
    EXPECT_EQ(type.index(), i);
    EXPECT_EQ(Qel::qelType(expected[i].name), &type);
    const auto& attrs = type.attributes();
    ASSERT_EQ(attrs.size(), expected[i].attributes.size());
    for (std::size_t a = 0; a < attrs.size(); ++a) {
      const ExpectedAttr& want = expected[i].attributes[a];
      SCOPED_TRACE(want.name);
      EXPECT_EQ(attrs[a].number, want.number);
      EXPECT_EQ(attrs[a].name, want.name);
      EXPECT_EQ(attrs[a].kind, want.kind);
      EXPECT_EQ(attrs[a].ctorArg, want.ctorArg);
      EXPECT_EQ(type.attribute(want.number), type.attribute(want.name));
    }
  }
}

// Each live object names its own type of the module.
class StormControlIfTableSmModuleObjectsTest : public SmFixture {};

TEST_F(StormControlIfTableSmModuleObjectsTest, ObjectsNameTheirTypes) {
  start(Ostra::SmControl::synchronousOn);
  const Qel::Module& m = stormControlIfTableSmModule();
  EXPECT_EQ(sm_->inputSmScanState()->typeData(), &m.type(0));
  EXPECT_EQ(sm_->outputState()->typeData(), &m.type(1));
  ASSERT_TRUE(childSm("status0"));
  EXPECT_EQ(childSm("status0")->typeData(), &m.type(2));
  EXPECT_EQ(sm_->ifMibSm2()->typeData(), &m.type(3));
  EXPECT_EQ(sm_->sliceSm0()->typeData(), &m.type(4));
  EXPECT_EQ(sm_->typeData(), &m.type(6));
  // The generic constructor takes mib, slice, ifMib and the control, in this order.
  const Qel::Value made = m.type(6).ops().construct({mib_, Pondo::Ptr<const Qel::Dir>(slice_),
                                                     Pondo::Ptr<const IntfSnmp::IfMib>(ifMib_),
                                                     control(Ostra::SmControl::synchronousOn)});
  const auto machine = std::any_cast<Pondo::Ptr<Sm>>(made);
  EXPECT_EQ(machine->mib(), mib_);
  EXPECT_EQ(machine->slice(), slice_);
  EXPECT_EQ(machine->ifMib(), ifMib_);
  EXPECT_TRUE(machine->synchronous());
  EXPECT_TRUE(machine->hasNotificationActive());
}

// ---- output key -------------------------------------------------------------------------

const Qel::TypeData& outputKeyType() { return stormControlIfTableSmModule().type(5); }

OutputKey unset(U32 ifIndex, TC tc) { return OutputKey(Key(ifIndex, tc)); }

// For every kind of key: the text parses back to an equal key, by the type's generic parse,
// the range constructor and the whole-string parse; the generic hash is hash(0), equal keys
// hash alike, and the flag takes part in equality, order, hash and text.
TEST(MibStormControlIfTableOutputKeyTypeTest, TextParseHashRoundTrip) {
  const std::vector<OutputKey> keys{
      OutputKey(), unset(5, TC::all), OutputKey::valid(Key(5, TC::all)),
      OutputKey::valid(Key(0, TC::all)), OutputKey::valid(Key(0xffffffffu, TC::unknownUnicast))};
  const Qel::TypeOps& ops = outputKeyType().ops();
  std::map<std::string, OutputKey> texts;
  for (const OutputKey& k : keys) {
    const Pondo::String text = ops.text(&k);
    SCOPED_TRACE(text.stdString());
    EXPECT_TRUE(texts.emplace(text.stdString(), k).second) << "two keys share a text";
    EXPECT_EQ(std::any_cast<OutputKey>(ops.parse(text)), k);
    Qel::CharRange range(text.view());
    EXPECT_EQ(OutputKey(range), k);
    EXPECT_EQ(Qel::strepToValue(text, static_cast<OutputKey*>(nullptr)), k);
    std::ostringstream streamed;
    streamed << k;
    EXPECT_EQ(streamed.str(), text.stdString());
    EXPECT_EQ(ops.hash(&k), k.hash(0));
    const OutputKey copy = k;
    EXPECT_TRUE(OutputKey::isEq(&k, &copy));
    EXPECT_TRUE(ops.isEq(&k, &copy));
    EXPECT_EQ(copy.hash(7), k.hash(7));
  }
  const OutputKey a = unset(5, TC::all);
  const OutputKey b = OutputKey::valid(Key(5, TC::all));
  EXPECT_FALSE(OutputKey::isEq(&a, &b));
  EXPECT_NE(a.hash(0), b.hash(0));
  EXPECT_LT(a, b) << "false before true";
  EXPECT_LT(b, unset(5, TC::broadcast)) << "the row key comes first";
  EXPECT_NE(b.hash(0), OutputKey::valid(Key(5, TC::broadcast)).hash(0));
}

// The default key is the only default one; validation through the registered operation sets
// the flag; a key made from constructor arguments is not valid yet. A text with another type
// name or a bad row key is refused, the latter as an error of "k0".
TEST(MibStormControlIfTableOutputKeyTypeTest, ValidationAndRefusals) {
  const Qel::TypeData& type = outputKeyType();
  const OutputKey d;
  EXPECT_FALSE(type.ops().isNonDefault(&d));
  const OutputKey zeroValid = OutputKey::valid(Key());
  EXPECT_TRUE(type.ops().isNonDefault(&zeroValid));
  const OutputKey zeroKeyed = unset(1, TC::all);
  EXPECT_TRUE(type.ops().isNonDefault(&zeroKeyed));

  auto k = std::any_cast<OutputKey>(type.ops().construct({Key(9, TC::multicast)}));
  EXPECT_EQ(std::any_cast<Key>(Qel::attrRead(type, &k, 2)), Key(9, TC::multicast));
  EXPECT_FALSE(std::any_cast<bool>(Qel::attrRead(type, &k, 3)));
  Qel::attrInvoke(type, &k, 4);
  EXPECT_TRUE(std::any_cast<bool>(Qel::attrRead(type, &k, 3)));
  EXPECT_EQ(k, OutputKey::valid(Key(9, TC::multicast)));

  const std::string text = type.ops().text(&k).stdString();
  ASSERT_EQ(text.find("{k0="), 0u) << text;
  std::string otherField = text;
  otherField.replace(otherField.find("k0Valid"), 7, "k1Valid");
  EXPECT_THROW(type.ops().parse(Pondo::String("{k1" + text.substr(3))), Qel::Exception);
  EXPECT_THROW(type.ops().parse(Pondo::String(otherField)), Qel::Exception);
  EXPECT_THROW(type.ops().parse(Pondo::String(text + "x")), Qel::Exception);
  std::string badClass = text;
  badClass.replace(badClass.find("multicast"), 9, "everycast");
  try {
    type.ops().parse(Pondo::String(badClass));
    FAIL() << "an unknown class must be refused: " << badClass;
  } catch (const Qel::RangeException& e) {
    EXPECT_NE(std::string(e.what()).find("k0"), std::string::npos) << e.what();
  }
}

// ---- seen set through generic access ----------------------------------------------------

class StormControlIfTableSmSeenSetTest : public SmFixture {};

// Attribute 138 adds keys with the value true, answers membership, size and version, and
// removes keys; adding with the value false is refused, saying so, and changes nothing.
TEST_F(StormControlIfTableSmSeenSetTest, GenericAccessAddsFindsAndRemoves) {
  start(Ostra::SmControl::synchronousOn);
  const Qel::TypeData& type = *sm_->typeData();
  const Qel::CollectionAccess& seen = Qel::attrCollection(type, 138);
  const OutputKey k1 = OutputKey::valid(Key(1, TC::all));
  const OutputKey k2 = OutputKey::valid(Key(2, TC::multicast));
  const U32 version = seen.version(sm_.get());
  Qel::attrSet(type, sm_.get(), 138, {k1, true});
  Qel::attrSet(type, sm_.get(), 138, {k2, true});
  Qel::attrSet(type, sm_.get(), 138, {k1, true});
  EXPECT_EQ(seen.count(sm_.get()), 2u);
  EXPECT_NE(seen.version(sm_.get()), version);
  EXPECT_TRUE(seen.contains(sm_.get(), k1));
  EXPECT_FALSE(seen.contains(sm_.get(), unset(1, TC::all))) << "the flag is part of the key";

  const U32 before = seen.version(sm_.get());
  try {
    Qel::attrSet(type, sm_.get(), 138, {OutputKey::valid(Key(3, TC::all)), false});
    FAIL() << "a key added with the value false must be refused";
  } catch (const Qel::RangeException& e) {
    const std::string what = e.what();
    EXPECT_NE(what.find("false"), std::string::npos) << what;
    EXPECT_NE(what.find("only"), std::string::npos) << what;
  }
  EXPECT_EQ(seen.count(sm_.get()), 2u);
  EXPECT_EQ(seen.version(sm_.get()), before);

  Qel::attrDel(type, sm_.get(), 138, {k1});
  EXPECT_FALSE(seen.contains(sm_.get(), k1));
  EXPECT_EQ(seen.count(sm_.get()), 1u);
  Qel::attrDel(type, sm_.get(), 138, {k1});
  EXPECT_EQ(seen.count(sm_.get()), 1u);
}

// ---- teardown order ---------------------------------------------------------------------

/// Live objects of the machine's parts when one of its inputs is destroyed.
struct Snapshot {
  std::string what;
  U64 outputStates, ifMibSms, sliceSms, entitySms, tasks, seenNodes, scanStates;
  bool operator==(const Snapshot&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Snapshot& s) {
  return out << s.what << ": output " << s.outputStates << ", ifMibSm " << s.ifMibSms
             << ", sliceSm " << s.sliceSms << ", entitySm " << s.entitySms << ", tasks " << s.tasks
             << ", seen " << s.seenNodes << ", scanState " << s.scanStates;
}

std::vector<Snapshot> teardownLog;

void snapshot(const char* what) {
  namespace K = KrelCode::StormControlIfTableSm;
  teardownLog.push_back({what, K::OutputState::memAllocationTracker_.liveObjects,
                         K::IfMibSm2::memAllocationTracker_.liveObjects,
                         K::SliceSm0::memAllocationTracker_.liveObjects,
                         K::EntityPtrSm1::memAllocationTracker_.liveObjects,
                         Velo::Task::memAllocationTracker_.liveObjects,
                         Sm::HN_MibStormControlIfTableOutputSeen::memAllocationTracker_.liveObjects,
                         K::InputSmScanState::memAllocationTracker_.liveObjects});
}

// Inputs that note the machine's state when the machine lets go of them.
struct ProbeScheduler : Velo::TaskScheduler {
  ~ProbeScheduler() override { snapshot("scheduler"); }
};
struct ProbeIfMib : IntfSnmp::IfMib {
  using IfMib::IfMib;
  ~ProbeIfMib() override { snapshot("ifMib"); }
};
struct ProbeSlice : Qel::Dir {
  using Dir::Dir;
  ~ProbeSlice() override { snapshot("slice"); }
};
struct ProbeMib : StormControlMib {
  using StormControlMib::StormControlMib;
  ~ProbeMib() override { snapshot("mib"); }
};

class StormControlIfTableSmTeardownTest : public SmFixture {};

// A machine destroyed while reconciling goes in this order: it deactivates, releases its
// output state, its children and its tasks, then its control (the scheduler), empties its seen
// set, and releases the scan state and its inputs ifMib, slice and mib last.
TEST_F(StormControlIfTableSmTeardownTest, ReleasesPartsInOrder) {
  teardownLog.clear();
  auto scheduler = Pondo::make<ProbeScheduler>();
  scheduler->yieldAfterChecksIs(1u << 30);
  auto mib = Pondo::make<ProbeMib>("probeMib");
  auto slice = Pondo::make<ProbeSlice>("probeSlice");
  auto ifMib = Pondo::make<ProbeIfMib>("probeIfMib");
  const auto status = Pondo::make<Status>("status0");
  slice->entityIs(status);
  const StatusPtr s = publishIn(*status, "Ethernet1");
  ifMib->ifIndexByIntfIdIs(Lumo::IntfId(Pondo::String("Ethernet1")), 5);
  for (TC tc : stormControlTCTypes) mib->stormControlIfTableIs(Key(5, tc), s);
  mib->stormControlIfTableIs(Key(9, TC::all), s);  // stale: the deletion scan has work
  Ostra::SmControl c = control();
  c.schedulerIs(scheduler);
  Pondo::Ptr<Sm> sm = Sm::StormControlIfTableSmIs(mib, slice, ifMib, c);
  // Run until the deletion scan has examined its first row and suspended itself.
  for (int runs = 0; runs < 100 && !sm->mibStormControlIfTableOutputUseBookmark(); ++runs) {
    scheduler->runOne();
  }
  ASSERT_TRUE(sm->mibStormControlIfTableOutputUseBookmark());
  ASSERT_TRUE(sm->mibStormControlIfTableOutputReconciling());
  const U64 seen = sm->mibStormControlIfTableOutputSeen().count();
  ASSERT_GT(seen, 0u);
  const U64 machineTasks = (sm->mibStormControlIfTableOutputReconciliationTask() ? 1 : 0) +
                           (sm->ifMibSm2()->task1() ? 1 : 0) + (sm->sliceSm0()->task0() ? 1 : 0);
  ASSERT_GT(machineTasks, 0u);
  snapshot("");
  Snapshot others = teardownLog.back();
  teardownLog.clear();
  others.outputStates -= 1;
  others.ifMibSms -= 1;
  others.sliceSms -= 1;
  others.entitySms -= 1;
  others.tasks -= machineTasks;
  others.seenNodes -= seen;
  others.scanStates -= 1;
  auto at = [&](const char* what, U64 seenNodes, U64 scanStates) {
    Snapshot expected = others;
    expected.what = what;
    expected.seenNodes += seenNodes;
    expected.scanStates += scanStates;
    return expected;
  };

  c = Ostra::SmControl();
  scheduler.reset();
  mib.reset();
  slice.reset();
  ifMib.reset();
  EXPECT_TRUE(teardownLog.empty()) << "the machine still holds its inputs and scheduler";
  sm.reset();
  EXPECT_EQ(teardownLog, (std::vector<Snapshot>{at("scheduler", seen, 1), at("ifMib", 0, 0),
                                                at("slice", 0, 0), at("mib", 0, 0)}));
}

}  // namespace
}  // namespace StormControlSnmp::SmTest

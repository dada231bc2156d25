// StormControlSnmp/StormControlIfTableSmModule.cpp — the table machine's type module: the
// registration of its seven types, the output key's generic operations, and the text of
// pipeline values in traces.
#include "StormControlSnmp/StormControlIfTableSmModule.h"

#include <ostream>
#include <sstream>
#include <utility>

#include "Qel/Exception.h"
#include "Qel/Registration.h"
#include "Qel/Strep.h"
#include "StormControlSnmp/StormControlIfTableSmInputs.h"
#include "StormControlSnmp/StormControlSnmpContract.h"

namespace StormControlSnmp {

namespace {

using Key = StormControlIfTableKey;
using Machine = StormControlIfTableSm;
using OutputKey = Machine::MibStormControlIfTableOutputKeyType;
namespace Sm = KrelCode::StormControlIfTableSm;

const Pondo::Ptr<Pondo::Platform::DebugHandler> defaultHandler =
    Pondo::Platform::getDebugHandler("StormControlIfTableSm", false);

}  // namespace

const Pondo::Ptr<Pondo::Platform::DebugHandler>& defaultTraceHandler() { return defaultHandler; }

// ---- trace text of pipeline values ------------------------------------------------------

namespace KrelCode {

namespace {

template <class T>
std::string streamed(const T& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

const Qel::Entity* entityOf(const IntfStatusPtr& status) { return status.get(); }

}  // namespace

std::string krelPrint(const StormControlTCType& value) { return streamed(value); }
std::string krelPrint(const Pondo::String& value) { return value.stdString(); }
std::string krelPrint(const Lumo::IntfId& value) { return value.stringValue().stdString(); }

std::string krelPrint(const U32Optional& value) {
  if (!value) return "None";
  std::ostringstream out;
  out << "Optional( " << value.value() << " )";
  return out.str();
}

std::string krelPrint(const IntfStatusOpt& value) {
  if (!value) return "None";
  std::ostringstream out;
  out << "Optional( " << entityOf(value.value()) << " )";
  return out.str();
}

std::string krelPrint(const OutputElement& value) {
  std::ostringstream out;
  out << "Tuple( " << value.first << ", " << entityOf(value.second) << " )";
  return out.str();
}

}  // namespace KrelCode

// ---- output key -------------------------------------------------------------------------

OutputKey::MibStormControlIfTableOutputKeyType(Qel::CharRange& range) {
  Qel::CharRange::needPre(
      range, "StormControlSnmp::StormControlIfTableSm::MibStormControlIfTableOutputKeyType", "k0");
  try {
    k0_ = Key(range);
  } catch (const Qel::RangeException& e) {
    Qel::rethrowFromDeserializeAttr(e, "k0");
  }
  k0Valid_ = Qel::desAttrPost<bool>(range, "k0Valid");
}

bool OutputKey::isEq(const void* a, const void* b) noexcept {
  return Qel::Reg::untypedEq<OutputKey>(a, b);
}

U32 OutputKey::hash(U32 seed) const noexcept {
  Qel::Hash h(seed);
  h.hashMix<4>(k0_.hash(0));
  h.hashMix<1>(k0Valid_);
  return h.result();
}

std::ostream& operator<<(std::ostream& out, const OutputKey& key) {
  return out << Qel::valueToStrep(&key, smType(SmType::outputKey));
}

// ---- registration -----------------------------------------------------------------------

namespace {

using Qel::Reg::ctorArg;
using Qel::Reg::pointer;
using Sm::EntityPtrSm1;
using Sm::IfMibSm2;
using Sm::InputSmScanState;
using Sm::OutputState;
using Sm::SliceSm0;

/// A handler taking one argument of type `A`.
template <class T, class A, void (T::*M)(const A&)>
Qel::Attribute handlerOf(U16 number, const char* name) {
  return Qel::Reg::invocable<T>(number, name, Qel::AttrKind::handler,
                                [](T& t, const Qel::Args& a) { (t.*M)(Qel::arg<A>(a, 0)); });
}

/// An operation without arguments or result, `void m()` of T or of a base.
template <class T, auto M>
Qel::Attribute command(U16 number, const char* name) {
  return Qel::Reg::operation<T>(number, name, [](T& t) { (t.*M)(); });
}

/// A task attribute: `Is` with (scheduler, priority, name), `Del`.
template <class T, auto Get, auto Is, auto Del>
Qel::Attribute taskAttr(U16 number, const char* name) {
  return pointer<T>(
      number, name, Get,
      [](T& t, const Qel::Args& a) {
        (t.*Is)(Qel::arg<Pondo::Ptr<Velo::TaskScheduler>>(a, 0), Qel::arg<Velo::TaskPriority>(a, 1),
                Qel::arg<Pondo::String>(a, 2));
      },
      [](T& t) { return (t.*Del)(); });
}

/// The attributes every input machine has: its input, parent and root.
template <class T>
void inputAttributes(Qel::TypeData& t) {
  t.attributeIs(Qel::Reg::field<T>(T::enAttr, "en", &T::en, true));
  t.attributeIs(ctorArg(Qel::Reg::settable<T>(T::parentAttr, "parent", &T::parent, &T::parentIs)));
  t.attributeIs(Qel::Reg::operation<T>(T::rootAttr, "root", [](T& sm) { return sm.root(); }));
}

/// The withdrawal and scan attributes the two status machines share, numbered alike.
template <class T>
void statusScanAttributes(Qel::TypeData& t) {
  t.attributeIs(command<T, &T::doDeleteAll>(T::doDeleteAllAttr, "doDeleteAll"));
  t.attributeIs(Qel::Reg::operation<T>(T::shouldYield0Attr, "shouldYield0", &T::shouldYield));
  t.attributeIs(Qel::Reg::operation<T>(T::inTask0Attr, "inTask0", &T::inTask));
  t.attributeIs(Qel::Reg::settable<T>(T::inputScanBookmark0Attr, "inputScanBookmark0",
                                      &T::inputScanBookmark, &T::inputScanBookmarkIs));
  t.attributeIs(Qel::Reg::settable<T>(T::inputScanState0Attr, "inputScanState0", &T::inputScanState,
                                      &T::inputScanStateIs));
  t.attributeIs(Qel::Reg::operation<T>(T::inputScanComplete0Attr, "inputScanComplete0",
                                       &T::inputScanComplete));
}

void registerInputSmScanState(Qel::Module& m) {
  using T = InputSmScanState;
  Qel::TypeData& t = m.typeIs("StormControlSnmp::KrelCode::StormControlIfTableSm::InputSmScanState",
                              Qel::TypeKind::node);
  t.attributeIs(Qel::Reg::handler<T>(T::handleIdleAttr, "handleIdle", &T::handleIdle));
  t.attributeIs(Qel::Reg::settable<T>(T::ifMibStreamScanAttr, "ifMibStreamScan",
                                      &T::ifMibStreamScan, &T::ifMibStreamScanIs));
  t.attributeIs(Qel::Reg::settable<T>(T::statusStreamScanAttr, "statusStreamScan",
                                      &T::statusStreamScan, &T::statusStreamScanIs));
  t.attributeIs(Qel::Reg::settable<T>(T::idleAttr, "idle", &T::idle, &T::idleIs));
  Qel::TypeOps ops;
  ops.construct = [](const Qel::Args&) { return Qel::Value(T::InputSmScanStateIs()); };
  t.opsIs(std::move(ops));
}

void registerOutputState(Qel::Module& m) {
  using T = OutputState;
  Qel::TypeData& t = m.typeIs(Contract::outputStateType, Qel::TypeKind::node);
  t.attributeIs(Qel::Reg::settable<T>(
      T::mibStormControlIfTableOutputReadyAttr, "mibStormControlIfTableOutputReady",
      &T::mibStormControlIfTableOutputReady, &T::mibStormControlIfTableOutputReadyIs));
  t.attributeIs(Qel::Reg::settable<T>(T::readyAttr, "ready", &T::ready, &T::readyIs));
  t.attributeIs(Qel::Reg::handler<T>(T::handleReadyAttr, "handleReady", &T::handleReady));
  Qel::TypeOps ops;
  ops.construct = [](const Qel::Args&) { return Qel::Value(T::OutputStateIs()); };
  t.opsIs(std::move(ops));
}

void registerEntityPtrSm1(Qel::Module& m) {
  using T = EntityPtrSm1;
  Qel::TypeData& t = m.typeIs("StormControlSnmp::KrelCode::StormControlIfTableSm::EntityPtrSm1",
                              Qel::TypeKind::node);
  inputAttributes<T>(t);
  t.attributeIs(Qel::Reg::computed<T>(T::smKeyAttr, "smKey", &T::smKey));
  statusScanAttributes<T>(t);
  t.attributeIs(Qel::Reg::settable<T>(T::versionIntfStatusAttr, "versionIntfStatus",
                                      &T::inputVersion, &T::inputVersionIs));
  t.attributeIs(handlerOf<T, Pondo::String, &T::handleIntfStatus0>(T::handleIntfStatus0Attr,
                                                                   "handleIntfStatus0"));
  t.attributeIs(handlerOf<T, Pondo::String, &T::handleIntfStatus0Reactor>(
      T::handleIntfStatus0ReactorAttr, "handleIntfStatus0Reactor"));
  t.attributeIs(command<T, &T::scanStep>(T::doInputScan0Attr, "doInputScan0"));
}

void registerIfMibSm2(Qel::Module& m) {
  using T = IfMibSm2;
  Qel::TypeData& t =
      m.typeIs("StormControlSnmp::KrelCode::StormControlIfTableSm::IfMibSm2", Qel::TypeKind::node);
  inputAttributes<T>(t);
  t.attributeIs(command<T, &T::doDeleteAll>(T::doDeleteAllAttr, "doDeleteAll"));
  t.attributeIs(Qel::Reg::operation<T>(T::shouldYield1Attr, "shouldYield1", &T::shouldYield));
  t.attributeIs(Qel::Reg::operation<T>(T::inTask1Attr, "inTask1", &T::inTask));
  t.attributeIs(Qel::Reg::settable<T>(T::inputScanBookmark1Attr, "inputScanBookmark1",
                                      &T::inputScanBookmark, &T::inputScanBookmarkIs));
  t.attributeIs(Qel::Reg::settable<T>(T::inputScanState1Attr, "inputScanState1", &T::inputScanState,
                                      &T::inputScanStateIs));
  t.attributeIs(Qel::Reg::operation<T>(T::inputScanComplete1Attr, "inputScanComplete1",
                                       &T::inputScanComplete));
  t.attributeIs(Qel::Reg::settable<T>(T::versionIfIndexByIntfIdAttr, "versionIfIndexByIntfId",
                                      &T::inputVersion, &T::inputVersionIs));
  t.attributeIs(handlerOf<T, Lumo::IntfId, &T::handleIfIndexByIntfId1>(
      T::handleIfIndexByIntfId1Attr, "handleIfIndexByIntfId1"));
  t.attributeIs(handlerOf<T, Lumo::IntfId, &T::handleIfIndexByIntfId1Reactor>(
      T::handleIfIndexByIntfId1ReactorAttr, "handleIfIndexByIntfId1Reactor"));
  t.attributeIs(command<T, &T::scanStep>(T::doInputScan1Attr, "doInputScan1"));
  t.attributeIs(taskAttr<T, &T::task, &T::taskIs, &T::taskDel>(T::task1Attr, "task1"));
}

void registerSliceSm0(Qel::Module& m) {
  using T = SliceSm0;
  Qel::TypeData& t =
      m.typeIs("StormControlSnmp::KrelCode::StormControlIfTableSm::SliceSm0", Qel::TypeKind::node);
  inputAttributes<T>(t);
  statusScanAttributes<T>(t);
  t.attributeIs(Qel::Reg::collection<T>(
      T::childSmEntityPtrBridgingStormControlStatusPtrConstAttr,
      "childSmEntityPtrBridgingStormControlStatusPtrConst",
      [](const T& sm) -> const T::ChildMap& {
        return sm.childSmEntityPtrBridgingStormControlStatusPtrConst();
      },
      [](T& sm, const Qel::Args& a) {
        sm.childSmEntityPtrBridgingStormControlStatusPtrConstIs(
            Qel::arg<EntityPtrSm1::StatusPtrConst>(a, 0), &sm);
      },
      [](T& sm, const Qel::Args& a) {
        auto removed =
            sm.childSmEntityPtrBridgingStormControlStatusPtrConstDel(Qel::arg<Pondo::String>(a, 0));
        return removed ? Qel::Value(removed) : Qel::Value();
      }));
  t.attributeIs(handlerOf<T, Pondo::String, &T::handleEntityPtr0>(T::handleEntityPtr0Attr,
                                                                  "handleEntityPtr0"));
  t.attributeIs(handlerOf<T, Pondo::String, &T::handleEntityPtr0Reactor>(
      T::handleEntityPtr0ReactorAttr, "handleEntityPtr0Reactor"));
  t.attributeIs(command<T, &T::scanStep>(T::doInputScan0Attr, "doInputScan0"));
  t.attributeIs(taskAttr<T, &T::task, &T::taskIs, &T::taskDel>(T::task0Attr, "task0"));
}

void registerOutputKey(Qel::Module& m) {
  Qel::TypeData& t =
      m.typeIs("StormControlSnmp::StormControlIfTableSm::MibStormControlIfTableOutputKeyType",
               Qel::TypeKind::value);
  t.attributeIs(Qel::Reg::field<OutputKey>(OutputKey::k0Attr, "k0", &OutputKey::k0, true));
  t.attributeIs(Qel::Reg::field<OutputKey>(OutputKey::k0ValidAttr, "k0Valid", &OutputKey::k0Valid));
  t.attributeIs(
      Qel::Reg::operation<OutputKey>(OutputKey::validateAttr, "validate", &OutputKey::validate));
  Qel::TypeOps ops = Qel::Reg::valueOps<OutputKey>();
  ops.construct = [](const Qel::Args& a) { return Qel::Value(OutputKey(Qel::arg<Key>(a, 0))); };
  ops.isNonDefault = [](const void* v) { return static_cast<const OutputKey*>(v)->isNonDefault(); };
  t.opsIs(std::move(ops));
}

void registerMachine(Qel::Module& m) {
  using T = Machine;
  Qel::TypeData& t = m.typeIs(Contract::machineType, Qel::TypeKind::node);
  t.attributeIs(Qel::Reg::field<T>(T::mibAttr, "mib", &T::mib, true));
  t.attributeIs(Qel::Reg::field<T>(T::sliceAttr, "slice", &T::slice, true));
  t.attributeIs(Qel::Reg::field<T>(T::ifMibAttr, "ifMib", &T::ifMib, true));
  t.attributeIs(pointer<T>(
      T::inputSmScanStateAttr, "inputSmScanState", &T::inputSmScanState,
      [](T& sm, const Qel::Args& a) {
        sm.inputSmScanStateIs(Qel::arg<Pondo::Ptr<InputSmScanState>>(a, 0));
      },
      [](T& sm) { return sm.inputSmScanStateDel(); }));
  t.attributeIs(pointer<T>(
      T::outputStateAttr, "outputState", &T::outputState,
      [](T& sm, const Qel::Args&) { sm.outputStateIs(); },
      [](T& sm) { return sm.outputStateDel(); }));
  t.attributeIs(pointer<T>(
      T::ifMibSm2Attr, "ifMibSm2", &T::ifMibSm2,
      [](T& sm, const Qel::Args& a) {
        sm.ifMibSm2Is(Qel::arg<Pondo::Ptr<const IntfSnmp::IfMib>>(a, 0), &sm);
      },
      [](T& sm) { return sm.ifMibSm2Del(); }));
  t.attributeIs(pointer<T>(
      T::sliceSm0Attr, "sliceSm0", &T::sliceSm0,
      [](T& sm, const Qel::Args& a) {
        sm.sliceSm0Is(Qel::arg<Pondo::Ptr<const Qel::Dir>>(a, 0), &sm);
      },
      [](T& sm) { return sm.sliceSm0Del(); }));
  t.attributeIs(Qel::Reg::handler<T>(T::handleMibStormControlIfTableOutputInputReadyAttr,
                                     "handleMibStormControlIfTableOutputInputReady",
                                     &T::handleMibStormControlIfTableOutputInputReady));
  t.attributeIs(Qel::Reg::collection<T>(
      T::mibStormControlIfTableOutputSeenAttr, "mibStormControlIfTableOutputSeen",
      [](const T& sm) -> const T::SeenSet& { return sm.mibStormControlIfTableOutputSeen(); },
      [](T& sm, const Qel::Args& a) {
        if (!Qel::arg<bool>(a, 1)) {
          throw Qel::RangeException("a seen key added with the value false: only true is accepted");
        }
        sm.mibStormControlIfTableOutputSeenIs(Qel::arg<OutputKey>(a, 0));
      },
      [](T& sm, const Qel::Args& a) {
        sm.mibStormControlIfTableOutputSeenDel(Qel::arg<OutputKey>(a, 0));
        return Qel::Value();
      }));
  t.attributeIs(taskAttr<T, &T::mibStormControlIfTableOutputReconciliationTask,
                         &T::mibStormControlIfTableOutputReconciliationTaskIs,
                         &T::mibStormControlIfTableOutputReconciliationTaskDel>(
      T::mibStormControlIfTableOutputReconciliationTaskAttr,
      "mibStormControlIfTableOutputReconciliationTask"));
  t.attributeIs(Qel::Reg::computed<T>(T::mibStormControlIfTableOutputBookmarkAttr,
                                      "mibStormControlIfTableOutputBookmark",
                                      &T::mibStormControlIfTableOutputBookmark));
  t.attributeIs(Qel::Reg::computed<T>(T::mibStormControlIfTableOutputReconcilingAttr,
                                      "mibStormControlIfTableOutputReconciling",
                                      &T::mibStormControlIfTableOutputReconciling));
  t.attributeIs(Qel::Reg::computed<T>(T::mibStormControlIfTableOutputUseBookmarkAttr,
                                      "mibStormControlIfTableOutputUseBookmark",
                                      &T::mibStormControlIfTableOutputUseBookmark));
  t.attributeIs(command<T, &T::doDeleteAll>(T::doDeleteAllAttr, "doDeleteAll"));
  t.attributeIs(ctorArg(Qel::Reg::computed<T>(T::krelControlAttr, "krelControl",
                                              [](const T& sm) { return sm.krelControl(); })));
  t.attributeIs(Qel::Reg::computed<T>(T::synchronousAttr, "synchronous", &T::synchronous));
  t.attributeIs(Qel::Reg::operation<T>(T::defaultSynchronousAttr, "defaultSynchronous",
                                       &T::defaultSynchronous));
  t.attributeIs(
      Qel::Reg::settable<T>(T::schedulerAttr, "scheduler", &T::scheduler, &T::schedulerIs));
  t.attributeIs(Qel::Reg::settable<T>(T::priorityAttr, "priority", &T::priority, &T::priorityIs));
  t.attributeIs(Qel::Reg::operation<T>(T::idleAttr, "idle", &T::idle));
  t.attributeIs(Qel::Reg::operation<T>(T::readyAttr, "ready", &T::ready));
  t.attributeIs(
      Qel::Reg::computed<T>(T::initialScanDoneAttr, "initialScanDone", &T::initialScanDone));
  t.attributeIs(Qel::Reg::handler<T>(T::handleInitialScanDoneAttr, "handleInitialScanDone",
                                     &T::handleInitialScanDone));
  t.attributeIs(Qel::Reg::computed<T>(T::initializedAttr, "initialized", &T::initialized));
  t.attributeIs(
      Qel::Reg::handler<T>(T::handleInitializedAttr, "handleInitialized", &T::handleInitialized));
  Qel::TypeOps ops;
  ops.construct = [](const Qel::Args& a) {
    return Qel::Value(T::StormControlIfTableSmIs(
        Qel::arg<Pondo::Ptr<StormControlMib>>(a, 0), Qel::arg<Pondo::Ptr<const Qel::Dir>>(a, 1),
        Qel::arg<Pondo::Ptr<const IntfSnmp::IfMib>>(a, 2), Qel::arg<Ostra::SmControl>(a, 3)));
  };
  t.opsIs(std::move(ops));
}

/// The types in the order of `SmType`.
void build(Qel::Module& module) {
  registerInputSmScanState(module);
  registerOutputState(module);
  registerEntityPtrSm1(module);
  registerIfMibSm2(module);
  registerSliceSm0(module);
  registerOutputKey(module);
  registerMachine(module);
}

Qel::Module& moduleDefinition() {
  return Qel::Reg::moduleDefinition<build>("StormControlIfTableSm");
}

const bool registered = Qel::Reg::registeredAtLoad(moduleDefinition());

}  // namespace

const Qel::Module& stormControlIfTableSmModule() { return moduleDefinition(); }

const Qel::TypeData& smType(SmType type) {
  return stormControlIfTableSmModule().type(static_cast<U16>(type));
}

}  // namespace StormControlSnmp

auto fmt::formatter<StormControlSnmp::StormControlIfTableKey>::format(
    const StormControlSnmp::StormControlIfTableKey& key, fmt::format_context& ctx) const
    -> decltype(ctx.out()) {
  std::ostringstream out;
  out << key;
  const std::string text = out.str();
  return fmt::formatter<fmt::string_view>::format(fmt::string_view(text), ctx);
}

// The host's registries: per-context handler initialisation, (context, MIB) notes, and the
// per-context table records with their counters.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "Qel/Exception.h"
#include "Qel/Module.h"
#include "Snmp/AutoRegistree.h"
#include "Snmp/MibContext.h"
#include "Snmp/RegVoidCollByContext.h"

namespace {

using Log = std::vector<std::string>;
using Registree = std::unique_ptr<Snmp::AutoRegistree>;
using Snmp::OrderedTableIteratorCounterTypes;
using Snmp::RegVoid;
using Snmp::TableCounters;

// Plug-ins linked into the test binary may have live registrees too: the test looks only at
// its own registrations' calls and counts relative to the start.
struct Recorder : Snmp::HandlerRegistration {
  Recorder(Log& log, std::string name) : log(log), name(std::move(name)) {}
  void initHandler(Pondo::String context) override {
    log.push_back(name + ":" + context.stdString());
    if (auto f = then) f();  // a copy: the reaction may replace `then`
  }
  Registree registree() { return std::make_unique<Snmp::AutoRegistree>(this); }
  Log& log;
  std::string name;
  std::function<void()> then;
};

// Registrations are called per context in construction order. During a pass a handler may
// destroy the registree due next (then not called), itself or an earlier one, construct one
// (called in the same pass, even from the last handler) and start a nested pass; an exception
// ends the pass and leaves the list usable.
TEST(AutoRegistreeTest, PassesUnderChange) {
  Log log;
  Recorder a(log, "a"), b(log, "b"), c(log, "c"), d(log, "d"), late(log, "late");
  const U32 before = Snmp::AutoRegistree::count();
  Registree rb = b.registree(), ra = a.registree(), rc = c.registree(), rd = d.registree(), rLate;
  b.then = [&] { ra.reset(); };
  c.then = [&] {
    rc.reset();
    rb.reset();
  };
  d.then = [&] {
    d.then = [&] {
      d.then = nullptr;
      Snmp::AutoRegistree::initHandlers("in");
    };
    rLate = late.registree();
  };
  late.then = [&] { late.then = [&] { rLate.reset(); }; };
  Snmp::AutoRegistree::initHandlers("x");
  EXPECT_EQ(Snmp::AutoRegistree::count(), before + 2);
  Snmp::AutoRegistree::initHandlers("y");
  d.then = [] { throw std::runtime_error("refused"); };
  EXPECT_THROW(Snmp::AutoRegistree::initHandlers("t"), std::runtime_error);
  d.then = nullptr;
  Registree rb2 = b.registree();
  Snmp::AutoRegistree::initHandlers("z");
  EXPECT_EQ(log,
            (Log{"b:x", "c:x", "d:x", "late:x", "d:y", "d:in", "late:in", "d:t", "d:z", "b:z"}));
  EXPECT_EQ(Snmp::AutoRegistree::count(), before + 2);
}

// Notes are per pair and form a set: a second note of a pair is gone after one withdrawal;
// withdrawing a pair, present or not, leaves the others.
TEST(MibContextTest, SetOfPairs) {
  Snmp::registerMibContext("ctxA", "mibOne");
  Snmp::registerMibContext("ctxA", "mibOne");
  Snmp::registerMibContext("ctxB", "mibOne");
  EXPECT_TRUE(Snmp::mibContextExists("ctxA", "mibOne"));
  EXPECT_FALSE(Snmp::mibContextExists("ctxA", "mibTwo"));
  Snmp::unregisterMibContext("ctxC", "mibOne");
  Snmp::unregisterMibContext("ctxA", "mibOne");
  EXPECT_FALSE(Snmp::mibContextExists("ctxA", "mibOne"));
  EXPECT_TRUE(Snmp::mibContextExists("ctxB", "mibOne"));
  Snmp::unregisterMibContext("ctxB", "mibOne");
  EXPECT_FALSE(Snmp::mibContextExists("ctxB", "mibOne"));
}

// The registry is made the way plug-ins make it, from module "Snmp"'s third type and the name
// (which takes no arguments), and is the host's instance. A record carries its pair, payload
// and own counters, each event type counted apart; it is found by its pair only, the registry
// alone keeps it until deleted, and deleting one pair leaves the others. Adding a pair again
// replaces its record; the earlier holder keeps the earlier one. Counters dropped from a
// record live on with their holder; a record may be made without any.
TEST(RegVoidCollByContextTest, RecordsPerContext) {
  const Qel::Module* module = Qel::qelModule("Snmp");
  ASSERT_TRUE(module && module->typeCount() == 3);
  EXPECT_STREQ(module->type(0).name(), "Snmp::TableCounters");
  EXPECT_STREQ(module->type(1).name(), "Snmp::RegVoid");
  const Qel::TypeData& type = module->type(2);
  using Snmp::RegVoidCollByContext;
  auto made = Qel::Entity::singletonIs(&type, RegVoidCollByContext::singletonName);
  auto registry = RegVoidCollByContext::instance();
  EXPECT_EQ(made, registry);
  EXPECT_EQ(made->typeData(), &type);
  const Qel::Args args{Qel::Value(1)};
  EXPECT_THROW(type.ops().newEntity("r", &args), Qel::NewEntityArgsException);

  const auto live = [&] {
    return std::tuple(registry->regVoidCount(), RegVoid::memAllocationTracker_.liveObjects,
                      TableCounters::memAllocationTracker_.liveObjects);
  };
  const auto [count, records, counters] = live();
  int payloadA = 0, payloadB = 0;
  RegVoid* ax = registry->addRegVoid("ctxA", "tableX", &payloadA).get();
  Pondo::Ptr<RegVoid> bx = registry->addRegVoid("ctxB", "tableX", &payloadB);
  registry->addRegVoid("ctxA", "tableY", &payloadB);
  EXPECT_EQ(registry->regVoid("ctxA", "tableX").get(), ax);
  EXPECT_TRUE(ax->context() == "ctxA" && ax->table() == "tableX" && ax->payload() == &payloadA);
  EXPECT_FALSE(registry->regVoid("ctxB", "tableY"));
  constexpr auto getNext = OrderedTableIteratorCounterTypes::getNextRow;
  for (unsigned t = 0; t < Snmp::orderedTableIteratorCounterTypeCount; ++t)
    ax->tableCounters()->orderedIterCntrsInc(OrderedTableIteratorCounterTypes(t), t + 1);
  ax->tableCounters()->orderedIterCntrsInc(getNext, 10);
  for (unsigned t = 0; t < Snmp::orderedTableIteratorCounterTypeCount; ++t) {
    EXPECT_EQ(ax->tableCounters()->orderedIterCntr(OrderedTableIteratorCounterTypes(t)),
              t + 1 + (OrderedTableIteratorCounterTypes(t) == getNext ? 10 : 0));
  }
  EXPECT_EQ(bx->tableCounters()->orderedIterCntr(getNext), 0u);
  EXPECT_TRUE(registry->delRegVoid("ctxA", "tableX"));
  EXPECT_FALSE(registry->delRegVoid("ctxA", "tableX"));
  EXPECT_EQ(live(), std::tuple(count + 2, records + 2, counters + 2));
  EXPECT_EQ(registry->regVoid("ctxA", "tableY")->payload(), &payloadB);
  Pondo::Ptr<RegVoid> second = registry->addRegVoid("ctxB", "tableX", &payloadA);
  EXPECT_EQ(registry->regVoid("ctxB", "tableX"), second);
  EXPECT_TRUE(bx->references() == 1u && bx->payload() == &payloadB);
  Pondo::Ptr<TableCounters> dropped = second->tableCounters();
  second->tableCountersDel();
  EXPECT_FALSE(registry->regVoid("ctxB", "tableX")->tableCounters());
  EXPECT_EQ(dropped->references(), 1u);
  EXPECT_FALSE(Pondo::make<RegVoid>("ctxA", "tableX", &payloadA, nullptr)->tableCounters());
  registry->delRegVoid("ctxB", "tableX");
  registry->delRegVoid("ctxA", "tableY");
  bx.reset();
  second.reset();
  dropped.reset();
  EXPECT_EQ(live(), std::tuple(count, records, counters));
}

}  // namespace

// The host's table registry: singleton creation, record lifetime, counters.
#include "Snmp/RegVoidCollByContext.h"

#include <gtest/gtest.h>

#include <initializer_list>

#include "Qel/Exception.h"
#include "Qel/Module.h"

namespace {

using Snmp::OrderedTableIteratorCounterTypes;
using Snmp::RegVoid;
using Snmp::RegVoidCollByContext;
using Snmp::TableCounters;

// Each case leaves the registry and the live record and counter objects as it found them.
class RegVoidCollByContextTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const char* table : {"tableX", "tableY"}) {
      registry->delRegVoid("ctxA", table);
      registry->delRegVoid("ctxB", table);
    }
    EXPECT_EQ(registry->regVoidCount(), countAtStart);
    EXPECT_EQ(RegVoid::memAllocationTracker_.liveObjects, liveRecords);
    EXPECT_EQ(TableCounters::memAllocationTracker_.liveObjects, liveCounters);
  }

  Pondo::Ptr<RegVoidCollByContext> registry = RegVoidCollByContext::instance();
  const U32 countAtStart = registry->regVoidCount();
  const U64 liveRecords = RegVoid::memAllocationTracker_.liveObjects;
  const U64 liveCounters = TableCounters::memAllocationTracker_.liveObjects;
  int payloadA = 0;
  int payloadB = 0;
};

// The registry is made the way plug-ins make it, from module "Snmp"'s third type and the
// name, is then found by name, and is the host's instance; the type takes no arguments.
TEST(RegVoidCollByContextSingletonTest, MadeFromTheModulesThirdType) {
  const Qel::Module* module = Qel::qelModule("Snmp");
  ASSERT_NE(module, nullptr);
  ASSERT_EQ(module->typeCount(), 3);
  EXPECT_STREQ(module->type(0).name(), "Snmp::TableCounters");
  EXPECT_STREQ(module->type(1).name(), "Snmp::RegVoid");
  const Qel::TypeData& type = module->type(2);
  Pondo::Ptr<Qel::Entity> made =
      Qel::Entity::singletonIs(&type, RegVoidCollByContext::singletonName);
  ASSERT_NE(dynamic_cast<RegVoidCollByContext*>(made.get()), nullptr);
  EXPECT_EQ(made->typeData(), &type);
  EXPECT_EQ(Qel::Entity::singletonExists(RegVoidCollByContext::singletonName), made);
  EXPECT_EQ(RegVoidCollByContext::instance(), made);
  const Qel::Args args{Qel::Value(1)};
  EXPECT_THROW(type.ops().newEntity("r", &args), Qel::NewEntityArgsException);
}

// A record carries its pair, payload and own counters and is found by its pair only; the
// registry alone keeps it until it is deleted, and deleting one pair leaves the others.
TEST_F(RegVoidCollByContextTest, AddFindDelete) {
  RegVoid* ax = registry->addRegVoid("ctxA", "tableX", &payloadA).get();
  Pondo::Ptr<RegVoid> bx = registry->addRegVoid("ctxB", "tableX", &payloadB);
  registry->addRegVoid("ctxA", "tableY", &payloadB);
  EXPECT_EQ(registry->regVoid("ctxA", "tableX").get(), ax);
  EXPECT_TRUE(ax->context() == "ctxA" && ax->table() == "tableX" && ax->payload() == &payloadA);
  ASSERT_TRUE(ax->tableCounters() && bx->tableCounters());
  EXPECT_NE(ax->tableCounters(), bx->tableCounters());
  EXPECT_FALSE(registry->regVoid("ctxB", "tableY"));
  EXPECT_TRUE(registry->delRegVoid("ctxA", "tableX"));
  EXPECT_FALSE(registry->delRegVoid("ctxA", "tableX"));
  EXPECT_EQ(RegVoid::memAllocationTracker_.liveObjects, liveRecords + 2);
  EXPECT_EQ(TableCounters::memAllocationTracker_.liveObjects, liveCounters + 2);
  EXPECT_EQ(registry->regVoid("ctxB", "tableX"), bx);
  EXPECT_EQ(registry->regVoid("ctxA", "tableY")->payload(), &payloadB);
}

// Adding a pair again replaces its record (new payload, new counters); the earlier holder
// keeps the earlier record, usable, after it left the registry. Counters dropped from a record
// live on with their holder; a record may be made without any.
TEST_F(RegVoidCollByContextTest, AddAgainReplacesAndCountersDrop) {
  Pondo::Ptr<RegVoid> first = registry->addRegVoid("ctxA", "tableX", &payloadA);
  Pondo::Ptr<RegVoid> second = registry->addRegVoid("ctxA", "tableX", &payloadB);
  EXPECT_EQ(registry->regVoid("ctxA", "tableX"), second);
  EXPECT_EQ(second->payload(), &payloadB);
  EXPECT_EQ(first->references(), 1u);
  first->tableCounters()->orderedIterCntrsInc(OrderedTableIteratorCounterTypes::getNextRow, 3);
  EXPECT_EQ(second->tableCounters()->orderedIterCntr(OrderedTableIteratorCounterTypes::getNextRow),
            0u);
  EXPECT_EQ(registry->regVoidCount(), countAtStart + 1);
  Pondo::Ptr<TableCounters> counters = second->tableCounters();
  second->tableCountersDel();
  EXPECT_FALSE(registry->regVoid("ctxA", "tableX")->tableCounters());
  EXPECT_EQ(counters->references(), 1u);
  EXPECT_FALSE(Pondo::make<RegVoid>("ctxA", "tableX", &payloadA, nullptr)->tableCounters());
}

// Each event type counts in its own counter, by the given count.
TEST(TableCountersTest, EventsCountSeparately) {
  auto counters = Pondo::make<TableCounters>();
  constexpr unsigned types = Snmp::orderedTableIteratorCounterTypeCount;
  for (unsigned type = 0; type < types; ++type) {
    counters->orderedIterCntrsInc(OrderedTableIteratorCounterTypes(type), type + 1);
  }
  counters->orderedIterCntrsInc(OrderedTableIteratorCounterTypes(0), 10);
  EXPECT_EQ(counters->orderedIterCntr(OrderedTableIteratorCounterTypes(0)), 11u);
  for (unsigned type = 1; type < types; ++type) {
    EXPECT_EQ(counters->orderedIterCntr(OrderedTableIteratorCounterTypes(type)), type + 1);
  }
}

}  // namespace

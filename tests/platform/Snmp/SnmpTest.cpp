// The host's number encoders and decoder against net-snmp's own value handling, and its
// registries: per-context handler initialisation, (context, MIB) notes, table records.
#include "Snmp/AsnConversions.h"

// Only the parts needed: net-snmp's int64.h declares its own global `U64`.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/library/snmp_api.h>
#include <net-snmp/types.h>
#include <net-snmp/varbind_api.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <limits>
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

using Limits = std::numeric_limits<int>;

/// A variable set through net-snmp from what an encoder wrote; frees what net-snmp allocated.
struct Variable {
  Variable(u_char type, const void* value, int length) {
    std::memset(&var, 0, sizeof(var));
    ok = length > 0 &&
         snmp_set_var_typed_value(&var, type, static_cast<const u_char*>(value), length) == 0;
  }
  ~Variable() { snmp_free_var_internals(&var); }
  netsnmp_variable_list var;
  bool ok;
};

// Integers up to the 32-bit limits reach net-snmp as the same number and decode back; values
// beyond are a range error, not a truncation; counter64 values keep both 32-bit halves. A
// buffer below the form's size, or none, fails untouched; the exact size suffices, unaligned,
// and nothing is written past the form.
TEST(AsnConversionsTest, RoundTripsRangeAndBuffers) {
  std::array<unsigned char, 1024> buffer;
  buffer.fill(0xab);
  EXPECT_LT(S32ToAsnIntegerF()(7, buffer.data(), sizeof(long) - 1), 0);
  EXPECT_LT(U64ToCounter64F()(7, buffer.data(), sizeof(counter64) - 1), 0);
  EXPECT_LT(S32ToAsnIntegerF()(7, nullptr, 1024), 0);
  EXPECT_LT(U64ToCounter64F()(7, nullptr, 1024), 0);
  for (unsigned char byte : buffer) ASSERT_EQ(byte, 0xab);
  EXPECT_EQ(U64ToCounter64F()(7, buffer.data() + 1, sizeof(counter64)), int(sizeof(counter64)));
  EXPECT_EQ(buffer[1 + sizeof(counter64)], 0xab);
  for (int value : {0, -1, Limits::max(), Limits::min()}) {
    Variable v(ASN_INTEGER, buffer.data() + 1,
               S32ToAsnIntegerF()(value, buffer.data() + 1, sizeof(long)));
    ASSERT_TRUE(v.ok);
    EXPECT_EQ(std::pair(*v.var.val.integer, AsnIntegerToS32(v.var.val.integer)),
              std::pair(long{value}, value));
  }
  for (long value : {2147483648L, 4294967296L, -2147483649L, std::numeric_limits<long>::min()})
    EXPECT_THROW(AsnIntegerToS32(&value), Qel::RangeException) << value;
  for (unsigned long value : {0xffffffffUL, (1UL << 40) + 5, ~0UL}) {
    Variable v(ASN_COUNTER64, buffer.data(),
               U64ToCounter64F()(value, buffer.data(), buffer.size()));
    ASSERT_TRUE(v.ok);
    EXPECT_EQ(std::pair(v.var.val.counter64->high, v.var.val.counter64->low),
              std::pair(value >> 32, value & 0xffffffffUL));
  }
}

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
  for (const char* context : {"ctxA", "ctxA", "ctxB"}) Snmp::registerMibContext(context, "mibOne");
  Snmp::unregisterMibContext("ctxC", "mibOne");
  Snmp::unregisterMibContext("ctxA", "mibOne");
  EXPECT_EQ(
      std::tuple(Snmp::mibContextExists("ctxA", "mibOne"), Snmp::mibContextExists("ctxB", "mibOne"),
                 Snmp::mibContextExists("ctxB", "mibTwo")),
      std::tuple(false, true, false));
}

// The registry is made the way plug-ins make it, from module "Snmp"'s third type and the name
// (which takes no arguments), and is the host's instance. A record carries its pair, payload
// and own counters, which add any amount; it is found by its pair only, the registry alone
// keeps it until deleted, and deleting one pair leaves the others. Adding a pair again
// replaces its record; the earlier holder keeps the earlier one. A record may drop its counters.
TEST(RegVoidCollByContextTest, RecordsPerContext) {
  const Qel::TypeData& type = Qel::qelModule("Snmp")->type(2);
  using Snmp::RegVoidCollByContext;
  auto made = Qel::Entity::singletonIs(&type, RegVoidCollByContext::singletonName);
  auto registry = RegVoidCollByContext::instance();
  EXPECT_TRUE(made == registry && made->typeData() == &type);
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
  ax->tableCounters()->orderedIterCntrsInc(getNext, 10);
  ax->tableCounters()->orderedIterCntrsInc(getNext, 5);
  EXPECT_EQ(ax->tableCounters()->orderedIterCntr(getNext), 15u);
  EXPECT_EQ(bx->tableCounters()->orderedIterCntr(getNext), 0u);
  EXPECT_TRUE(registry->delRegVoid("ctxA", "tableX"));
  EXPECT_FALSE(registry->delRegVoid("ctxA", "tableX"));
  EXPECT_EQ(live(), std::tuple(count + 2, records + 2, counters + 2));
  EXPECT_EQ(registry->regVoid("ctxA", "tableY")->payload(), &payloadB);
  Pondo::Ptr<RegVoid> second = registry->addRegVoid("ctxB", "tableX", &payloadA);
  EXPECT_EQ(registry->regVoid("ctxB", "tableX"), second);
  EXPECT_TRUE(bx->references() == 1u && bx->payload() == &payloadB);
  second->tableCountersDel();
  EXPECT_FALSE(registry->regVoid("ctxB", "tableX")->tableCounters());
  registry->delRegVoid("ctxB", "tableX");
  registry->delRegVoid("ctxA", "tableY");
  bx.reset();
  second.reset();
  EXPECT_EQ(live(), std::tuple(count, records, counters));
}

}  // namespace

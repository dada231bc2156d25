// Order and re-entrancy of Snmp::AutoRegistree's per-context initialisation.
#include "Snmp/AutoRegistree.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Log = std::vector<std::string>;
using Registree = std::unique_ptr<Snmp::AutoRegistree>;

// Plug-ins linked into the test binary may have live registrees too: tests look only at their
// own registrations' calls and count relative to the start.
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

// Registrations are called per context in construction order; destroyed ones (first, middle
// or last) never again, and a new one joins the end.
TEST(AutoRegistreeTest, ConstructionOrderAndDestruction) {
  Log log;
  Recorder a(log, "a"), b(log, "b"), c(log, "c"), d(log, "d");
  const U32 before = Snmp::AutoRegistree::count();
  Registree rb = b.registree(), ra = a.registree(), rc = c.registree();
  EXPECT_EQ(Snmp::AutoRegistree::count(), before + 3);
  Snmp::AutoRegistree::initHandlers("x");
  ra.reset();
  Registree rd = d.registree();
  Snmp::AutoRegistree::initHandlers("y");
  rb.reset();
  rd.reset();
  Snmp::AutoRegistree::initHandlers("z");
  EXPECT_EQ(log, (Log{"b:x", "a:x", "c:x", "b:y", "c:y", "d:y", "c:z"}));
  EXPECT_EQ(Snmp::AutoRegistree::count(), before + 1);
}

// During a pass, a handler may destroy the registree due next (then not called), itself or an
// earlier one, and may construct one, even the last handler: the pass goes on with the rest
// and calls the new one too.
TEST(AutoRegistreeTest, ChangesDuringAPass) {
  Log log;
  Recorder a(log, "a"), b(log, "b"), c(log, "c"), d(log, "d"), late(log, "late");
  Registree ra = a.registree(), rb = b.registree(), rc = c.registree(), rd = d.registree(), rLate;
  a.then = [&] { rb.reset(); };
  c.then = [&] {
    rc.reset();
    ra.reset();
  };
  d.then = [&] {
    d.then = nullptr;
    rLate = late.registree();
  };
  Snmp::AutoRegistree::initHandlers("x");
  Snmp::AutoRegistree::initHandlers("y");
  EXPECT_EQ(log, (Log{"a:x", "c:x", "d:x", "late:x", "d:y", "late:y"}));
}

// A handler may start a nested pass; both passes survive registrees going inside it. A
// handler's exception ends the pass and leaves the list usable.
TEST(AutoRegistreeTest, NestedPassesAndExceptions) {
  Log log;
  Recorder a(log, "a"), b(log, "b"), c(log, "c");
  Registree ra = a.registree(), rb = b.registree(), rc = c.registree();
  a.then = [&] {
    a.then = nullptr;
    Snmp::AutoRegistree::initHandlers("inner");
  };
  b.then = [&] { rc.reset(); };
  Snmp::AutoRegistree::initHandlers("outer");
  b.then = [] { throw std::runtime_error("refused"); };
  EXPECT_THROW(Snmp::AutoRegistree::initHandlers("thrown"), std::runtime_error);
  rb.reset();
  Snmp::AutoRegistree::initHandlers("after");
  EXPECT_EQ(log,
            (Log{"a:outer", "a:inner", "b:inner", "b:outer", "a:thrown", "b:thrown", "a:after"}));
}

}  // namespace

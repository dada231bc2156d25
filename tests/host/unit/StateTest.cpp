// StateTest.cpp — state files, their applier and source, and the simulator, on real inputs.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <net-snmp/library/fd_event_manager.h>
#include <sys/select.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

#include "StormControlSnmp/StormControlIfTableSm.h"
#include "host/switchstate/Simulator.h"
#include "host/switchstate/StateApplier.h"
#include "host/switchstate/StateFields.h"
#include "host/switchstate/StateFileLoader.h"
#include "host/switchstate/StateSource.h"

namespace HostTest {
namespace {

using namespace Bridging::StormControl;
using Host::Simulator;
using Host::StateFile;
using Host::StateFields::classFields;
using Events = std::vector<std::string>;
using StatusPtr = Pondo::Ptr<const IntfStatus>;
/// A fresh directory, removed with what it holds at the end of its scope.
struct TempDir {
  char pattern[24] = "/tmp/host-unit-XXXXXX";
  const std::string path = ::mkdtemp(pattern);
  ~TempDir() { std::filesystem::remove_all(path); }
};
/// Records the inputs' publications in order: "entity+ s0", "status- s0/E1", "ifIndex= E1 5".
class InputLog {
 public:
  InputLog(Qel::Dir& slice, IntfSnmp::IfMib& ifMib) {
    add(*slice.publisher(), [this, &slice](const Pondo::Change& c) {
      const auto& name = *static_cast<const Pondo::String*>(c.key);
      const auto status = Pondo::dynamicPtrCast<const Status>(slice.entityPtr(name));
      events.push_back((status ? "entity+ " : "entity- ") + name.stdString());
      if (status) watch(status);
    });
    add(*ifMib.publisher(), [this, &ifMib](const Pondo::Change& c) {
      const auto& id = *static_cast<const Lumo::IntfId*>(c.key);
      const U32Optional ifIndex = ifMib.ifIndexByIntfId(id);
      const std::string name = id.stringValue().stdString();
      events.push_back(ifIndex ? fmt::format("ifIndex= {} {}", name, ifIndex.value())
                               : "ifIndex- " + name);
    });
    for (auto it = slice.entityPtrIteratorConst(); !it.atEnd(); ++it)
      watch(Pondo::dynamicPtrCast<const Status>(it.value()));
  }
  Events events;
  /// Whether the events of `chain` were all published, in this order.
  bool inOrder(const Events& chain) const {
    auto at = events.begin();
    for (const auto& e : chain) at = std::find(at, events.end(), e);
    return at != events.end();
  }

 private:
  struct Watch {
    std::function<void(const Pondo::Change&)> on;
    Pondo::Subscriber slot{this, [](void* w, const Pondo::Change& c) { ((Watch*)w)->on(c); }};
  };
  void add(Pondo::Publisher& publisher, std::function<void(const Pondo::Change&)> on) {
    watches_.push_back(std::unique_ptr<Watch>(new Watch{std::move(on)}));
    publisher.subscriberAdd(watches_.back()->slot, false);
  }
  void watch(const Pondo::Ptr<const Status>& status) {
    add(*status->publisher(), [this, status](const Pondo::Change& c) {
      const auto& intf = *static_cast<const Pondo::String*>(c.key);
      events.push_back(fmt::format("status{} {}/{}", status->intfStatus(intf) ? '=' : '-',
                                   status->name().stdString(), intf.stdString()));
    });
  }
  std::vector<std::unique_ptr<Watch>> watches_;
};
std::unique_ptr<Host::StateFile> parsed(const std::string& text) {
  std::string error;
  auto file = Host::StateFile::parse("test.json", text, error);
  EXPECT_TRUE(file) << error;
  return file;
}
/// The rows ("ifIndex.class=drops") of the state file `text`: four per entry with an ifIndex.
std::set<std::string> rowsOf(const std::string& text) {
  std::set<std::string> rows;
  const auto file = parsed(text);
  for (const auto& entity : file->entities()) {
    for (const auto& entry : file->entries(entity)) {
      const auto ifIndex = file->ifIndex(entry.intfName);
      for (std::size_t n = 0; ifIndex && n < trafficClassCount; ++n)
        rows.insert(fmt::format("{}.{}={}", *ifIndex, n, entry.classes.byClass[n].drops));
    }
  }
  return rows;
}
class InputsFixture : public ::testing::Test {
 protected:
  Host::SwitchInputs inputs() const { return {slice_, ifMib_, scheduler_}; }
  /// How many ifIndexes and status entities are published.
  U64 published() const { return ifMib_->ifIndexByIntfId().count() + slice_->entityCount(); }
  /// Starts the plug-in's table machine on the inputs and lets it become ready; nothing yields.
  void SetUp() override {
    scheduler_->yieldAfterChecksIs(1u << 30);
    Ostra::SmControl control;
    control.schedulerIs(scheduler_);
    sm_ = StormControlSnmp::StormControlIfTableSm::StormControlIfTableSmIs(mib_, slice_, ifMib_,
                                                                           control);
    scheduler_->runUntilIdle(100000);
    ASSERT_TRUE(sm_->ready());
  }
  /// The table's rows once every task has run.
  std::set<std::string> tableRows() const {
    scheduler_->runUntilIdle();
    std::set<std::string> rows;
    for (auto it = mib_->stormControlIfTable().begin(); !it.atEnd(); ++it)
      rows.insert(fmt::format("{}.{}={}", it->ifIndex(), int(it->trafficClass()), it->drops()));
    return rows;
  }
  /// The status published for interface `intf` in any entity, or null.
  StatusPtr live(const std::string& intf) const {
    for (auto e = slice_->entityPtrIteratorConst(); !e.atEnd(); ++e)
      if (auto found = dynamic_cast<const Status&>(*e.value()).intfStatus(Pondo::String(intf)))
        return found;
    return nullptr;
  }
  Pondo::Ptr<Qel::Dir> slice_ = Pondo::make<Qel::Dir>(Pondo::String("slice"));
  Pondo::Ptr<IntfSnmp::IfMib> ifMib_ = Pondo::make<IntfSnmp::IfMib>(Pondo::String("ifMib"));
  Pondo::Ptr<Velo::TaskScheduler> scheduler_ = Pondo::make<Velo::TaskScheduler>();
  Pondo::Ptr<StormControlSnmp::StormControlMib> mib_ =
      Pondo::make<StormControlSnmp::StormControlMib>(Pondo::String("stormcontrolmib"));
  Pondo::Ptr<StormControlSnmp::StormControlIfTableSm> sm_;
};
using SimulatorTest = InputsFixture;

// Read in steps (per block, interface and entry), numbers at their edges; refused: no regular
// file, too large, changing size while read.
TEST(StateFileTest, ReadsInStepsOnlyWholeRegularFiles) {
  const TempDir temp;
  const std::string &dir = temp.path, path = dir + "/s.json";
  std::string text = R"({"interfaces": {"E\/0": 4294967295)";
  for (int i = 1; i <= 100; ++i) text += fmt::format(", \"E{}\": {}", i, i);
  text += R"(}, "status": {"s0": {"E1": {"all": {"drops": 18446744073709551615}, "unknownUnicast":
      {"level": 18446744073709551615, "units": 2, "scale": 255}}, "E101": {}}}})";
  int steps[2] = {};
  for (const std::string& pad : {std::string(), std::string(9 << 20, ' ')}) {
    std::ofstream(path, std::ios::trunc) << text << pad;
    Host::StateFileLoader loader(path);
    while (!loader.readSome([] { return true; })) ++steps[pad.empty()];
    const auto file = loader.take();
    ASSERT_TRUE(file) << loader.error();
    const auto* s0 = file->entity("s0");
    const auto& e1 = file->entry(*s0, "E1")->classes;
    const ClassStatus& uu = e1[TrafficClass::unknownUnicast];
    EXPECT_EQ(
        std::tuple(*file->ifIndex("E/0"), e1[TrafficClass::all].drops, uu.threshold, uu.drops),
        std::tuple(4294967295u, ~U64(0), Threshold{~U64(0), ThresholdType::kilobitsPerSecond, 255},
                   0u));
    EXPECT_FALSE(file->ifIndex("E101") || file->entity("s1") || file->entry(*s0, "E2"));
  }
  EXPECT_GE(steps[1], 1 + 1 + 101 + 2 + 2) << "block, index, interfaces, entries";
  EXPECT_GE(steps[0] - steps[1], 2) << "a step per block";
  const std::string sparse = dir + "/sparse";
  std::ofstream(sparse).close();
  std::filesystem::resize_file(sparse, std::uintmax_t(64) << 30);
  for (const auto& [at, refusal] :
       {std::pair{dir, ": not a regular file: directory"},
        {"/dev/null", ": not a regular file: character device"},
        {sparse, ": file too large: 68719476736 bytes, at most 268435456"},
        {dir + "/none", ": cannot open: No such file or directory"}}) {
    std::string error;
    EXPECT_FALSE(StateFile::load(at, error));
    EXPECT_EQ(error, at + refusal);
  }
  for (const auto& [before, after] : {std::pair{"{}", R"({"interfaces": {"E1": 1}})"},
                                      std::pair{R"({"interfaces": {"E1": 1}})", "{}"}}) {
    std::ofstream(path, std::ios::trunc) << before;
    Host::StateFileLoader loader(path);
    EXPECT_FALSE(loader.readSome([] { return true; }));  // opened, nothing read yet
    std::ofstream(path, std::ios::trunc) << after;
    EXPECT_FALSE((loader.readSome({}), loader.take()));
    EXPECT_EQ(loader.error(), path + ": file changed size while read");
  }
}

// A refusal is one line: file, place (line and column, or JSON path escaped) and reason.
TEST(StateFileTest, RefusalNamesPlaceAndReason) {
  using Wrap = std::pair<std::string, std::string>;  // what a fragment goes in, and its path
  const Wrap none, ifs{R"({"interfaces": {)", ": at $.interfaces"},
      sts{R"({"status": {)", ": at $.status"},
      all{R"({"status": {"s": {"E1": {"all": {)", ": at $.status.s.E1.all"};
  const std::tuple<Wrap, std::string, std::string> cases[] = {
      {none, "", ":1:1: empty document"},
      {none, "{\n \"interfaces\": {\"E1\": 1,\n  \"Eth", ":3:3: unclosed string"},
      {none, "{\"interfaces\":\n {\"E\xff\": 1}}", ":2:5: invalid UTF-8"},
      {none, "{\"interfaces\": {\"E\tx\": 1}}", ":1:19: control character in string"},
      {none, "{\"interfaces\": {\n  \"E1\": 1\n  \"E2\": 2}}", ":3:3: expected ',' or '}'"},
      {none, "{}\n  {}", ":2:3: trailing content after the document"},
      {none, R"({"status": {"s": {"E1": {"all": {"level": 1x}}}}})", ":1:43: invalid number"},
      {none, R"({"interfaces": {"E1": 01}})", ":1:23: invalid number"},
      {none, R"({"interfaces": {"E1" 1}})", ":1:22: expected ':'"},
      {none, R"({"interfaces": {"E1": 1,}})", ":1:25: expected a string key"},
      {none, R"({"interfaces": {"E\x": 1}})", ":1:19: invalid escape"},
      {none, R"({"interfaces": {"E1": 1})", ":1:25: unexpected end of document"},
      {none, "{\"interfaces\": " + std::string(100000, '['),
       ": at $.interfaces: expected an object"},
      {none, "[]", ": at $: expected an object"},
      {none, R"({"interface": {}})", ": at $.interface: unknown key \"interface\""},
      {none, R"({"status": {}, "status": {}})", ": at $.status: duplicate key"},
      {sts, R"("s": [])", ".s: expected an object"},
      {sts, R"("s": {"E1": {"bc": {}}})", ".s.E1.bc: unknown class \"bc\""},
      {sts, R"("s": {}, "s": {})", ".s: duplicate key"},
      {sts, R"("s": {"E1": {}, "E1": {}})", ".s.E1: duplicate key"},
      {sts, R"("s": {"E1": {"all": {}, "all": {}}})", ".s.E1.all: duplicate key"},
      {sts, R"("s": {"E\u00e9": {}})", ".s.E\xc3\xa9: invalid interface name"},
      {sts, R"("": {})", ".: invalid status entity name"},
      {sts, R"("a/b": {})", ".a/b: invalid status entity name"},
      {sts, R"("s0": {"E1": {}, "E2": {}}, "s1": {}, "s2": {"E2": {}})",
       ".s2.E2: already has a status in entity s0"},
      {sts, R"("s\r\t": {"E1": {"all\u007f": {}}})",
       R"(.s\u000d\u0009.E1.all\u007f: unknown class "all\u007f")"},
      {all, R"("lvl": 1)", ".lvl: unknown field \"lvl\""},
      {all, R"("level": "5")", ".level: expected an integer"},
      {all, R"("level": -1)", ".level: negative number -1"},
      {all, R"("drops": 1.5)", ".drops: fractional number 1.5"},
      {all, R"("drops": 1e3)", ".drops: fractional number 1e3"},
      {all, R"("level": 18446744073709551616)", ".level: number 18446744073709551616 too large"},
      {all, R"("units": 3)", ".units: number 3 out of range 0..2"},
      {all, R"("scale": 256)", ".scale: number 256 out of range 0..255"},
      {all, R"("drops": 1, "drops": 2)", ".drops: duplicate key"},
      {ifs, R"("E1": 0)", ".E1: number 0 out of range 1..4294967295"},
      {ifs, R"("E1": 4294967296)", ".E1: number 4294967296 out of range 1..4294967295"},
      {ifs, R"("E1": 5, "E1": 6)", ".E1: duplicate key"},
      {ifs, R"("E1": 5, "E2": 5)", ".E2: ifIndex 5 already belongs to E1"},
      {ifs, R"("E 1": 5)", ".E 1: invalid interface name"},
      {ifs, R"("": 5)", ".: invalid interface name"},
      {ifs, R"("E\nx": 5)", R"(.E\u000ax: invalid interface name)"},
  };
  for (const auto& [wrap, text, refusal] : cases) {
    const auto& [open, place] = wrap;
    const std::string file =
        open + text + std::string(std::count(open.begin(), open.end(), '{'), '}');
    std::string error;
    EXPECT_FALSE(StateFile::parse("s.json", file, error)) << file;
    EXPECT_EQ(error, "s.json" + place + refusal) << file;
  }
}
class StateApplierTest : public InputsFixture {
 protected:
  void applyNow(const std::string& text) { applier_.applyNow(parsed(text)); }
  /// Applies `text` in task runs to the end; the runs it took.
  U64 applyInTasks(const std::string& text) {
    applier_.applyInTasks(parsed(text));
    return scheduler_->runUntilIdle();
  }
  int applied_ = 0;
  Host::StateApplier applier_{inputs(), [this] { ++applied_; }};
};
/// A file of `n` interfaces over two entities, interface `changed` with `drops` drops.
std::string largeFile(U32 n, U32 changed = 0, U64 drops = 0) {
  std::string interfaces, status[2];
  for (U32 i = 0; i < n; ++i) {
    interfaces += fmt::format("{}\"E{}\":{}", i ? "," : "", i, i + 1);
    status[i % 2] += fmt::format(R"({}"E{}":{{"all":{{"drops":{}}}}})", i < 2 ? "" : ",", i,
                                 i == changed ? drops : 0);
  }
  return fmt::format(R"({{"interfaces":{{{}}},"status":{{"a":{{{}}},"b":{{{}}}}}}})", interfaces,
                     status[0], status[1]);
}

// Only differences are published, withdrawals before what replaces them, so the table is exact.
TEST_F(StateApplierTest, PublishesOnlyDifferencesInOrder) {
  const std::string a = R"({"interfaces": {"E1": 1, "E2": 2, "E3": 3, "E6": 6, "E7": 7},
    "status": {"s0": {"E1": {"all": {"drops": 1}}, "E2": {"broadcast": {"drops": 2}}, "E6": {},
                      "E7": {}}, "s1": {"E3": {"multicast": {"drops": 3}}}}})";
  const std::string b = R"({"interfaces": {"E1": 11, "E3": 3, "E4": 4, "E5": 2, "E6": 6},
    "status": {"s0": {"E1": {"all": {"drops": 2}}, "E4": {}, "E5": {"all": {"drops": 5}}, "E6": {},
                      "E7": {}}, "s2": {"E3": {"multicast": {"drops": 3}}}}})";
  applyNow(a);
  EXPECT_EQ(tableRows(), rowsOf(a));
  const StatusPtr e1 = live("E1"), e6 = live("E6");
  const auto e1Key = ifMib_->ifIndexByIntfId().iteratorFrom(Lumo::IntfId(Pondo::String("E1")));
  EXPECT_EQ(e1->name().c_str(), e1Key.key().stringValue().c_str()) << "a name is stored once";
  InputLog log(*slice_, *ifMib_);
  applyNow(b);
  EXPECT_EQ(applied_, 2);
  EXPECT_EQ(
      std::multiset(log.events.begin(), log.events.end()),
      (std::multiset<std::string>{
          "entity+ s2", "entity- s1", "ifIndex- E2", "ifIndex- E7", "ifIndex= E1 11",
          "ifIndex= E4 4", "ifIndex= E5 2", "status- s0/E1", "status- s0/E2", "status- s0/E7",
          "status= s0/E1", "status= s0/E4", "status= s0/E5", "status= s0/E7", "status= s2/E3"}));
  for (const Events& chain : {Events{"status- s0/E2", "ifIndex- E2", "ifIndex= E5 2"},
                              {"status- s0/E1", "ifIndex= E1 11", "status= s0/E1"},
                              {"status- s0/E7", "ifIndex- E7", "status= s0/E7"},
                              {"entity- s1", "entity+ s2", "status= s2/E3"}})
    EXPECT_TRUE(log.inOrder(chain)) << chain[1];
  EXPECT_EQ(tableRows(), rowsOf(b));
  EXPECT_EQ(live("E6"), e6) << "an unchanged status is kept";
  EXPECT_EQ(
      live("E1")->classStatus(TrafficClass::all).drops - e1->classStatus(TrafficClass::all).drops,
      1u)
      << "published objects never change";
  log.events.clear();
  applyNow(b);
  EXPECT_EQ(log.events, Events{}) << "applying the live state again publishes nothing";
}

// A change of any one field of any one traffic class publishes the status again, with it.
TEST_F(StateApplierTest, ChangeOfAnyClassRepublishesTheStatus) {
  const std::string head = R"({"interfaces": {"E1": 1}, "status": {"s0": {"E1": {)";
  for (std::size_t c = 0; c < trafficClassCount; ++c) {
    for (const auto& field : classFields) {
      applyNow(head + "}}}}");
      InputLog log(*slice_, *ifMib_);
      applyNow(head + fmt::format(R"("{}": {{"{}": 1}})", trafficClassNames[c], field.name) +
               "}}}}");
      EXPECT_EQ(std::pair(log.events, field.get(live("E1")->classes().byClass[c])),
                std::pair(Events{"status= s0/E1"}, U64(1)))
          << trafficClassNames[c] << "." << field.name;
    }
  }
}

// Applying and comparing yield per item; a target given mid-apply restarts it, the newest winning.
TEST_F(StateApplierTest, AppliesInTaskRunsAndRestartsOnANewTarget) {
  constexpr U32 n = 2000;
  scheduler_->yieldAfterChecksIs(50);
  applier_.applyInTasks(parsed(largeFile(n)));
  EXPECT_EQ(applied_, 0) << "nothing is applied outside task runs";
  // Every item checks whether to yield; a yes on a step's last item ends no run.
  EXPECT_GE(scheduler_->runUntilIdle(), 2u * n / 50 - 1);
  EXPECT_EQ(std::pair(applied_, applier_.applying()), std::pair(1, false));
  EXPECT_EQ(tableRows(), rowsOf(largeFile(n)));
  InputLog log(*slice_, *ifMib_);
  EXPECT_GE(applyInTasks(largeFile(n, 1234, 9)), 3u * n / 50) << "the comparison yields too";
  EXPECT_EQ(log.events, Events{"status= a/E1234"});
  applier_.applyInTasks(parsed(largeFile(n)));
  for (int i = 0; i < 10; ++i) scheduler_->runOne();
  ASSERT_TRUE(applier_.applying());
  const std::string latest = R"({"interfaces": {"E9": 99}, "status": {"z": {"E9": {}}}})";
  applyInTasks(latest);
  EXPECT_EQ(std::pair(applied_, published()), std::pair(3, U64(2)));
  EXPECT_EQ(tableRows(), rowsOf(latest));
  applier_.applyInTasks(parsed(largeFile(n))), scheduler_->runOne();
  applyNow("{}");
  EXPECT_EQ(std::tuple(applied_, published(), tableRows().size()), std::tuple(4, U64(0), 0ul));
}

// An interface keeps its rows moved between entities in one edit, or out then in, yielding a lot.
TEST_F(StateApplierTest, InterfaceMovesBetweenEntities) {
  const std::string e1 = R"("E1": {"all": {"drops": 1}}, )", none;
  scheduler_->yieldAfterChecksIs(1);
  for (const std::string in : {"a", "b", "a", "", "b", "", "a"}) {
    const std::string text = fmt::format(R"({{"interfaces": {{"E1": 1, "E2": 2}},
      "status": {{"a": {{{}"E2": {{}}}}, "b": {{{}"E3": {{}}}}}}}})",
                                         in == "a" ? e1 : none, in == "b" ? e1 : none);
    applyInTasks(text);
    EXPECT_EQ(tableRows(), rowsOf(text)) << text;
  }
}
/// The lines logged through snmp_log since the last call.
Events logged() {
  static Events lines;
  [[maybe_unused]] static const int registered = [] {
    snmp_enable_calllog();
    const auto log = [](int, int, void* message, void*) {
      const std::string line = static_cast<snmp_log_message*>(message)->msg;
      return lines.push_back(line.substr(0, line.find('\n'))), 0;
    };
    return snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, log, nullptr);
  }();
  return std::exchange(lines, {});
}
const std::string stateA = R"({"interfaces": {"E1": 1}, "status": {"s0": {"E1": {}}}})";
const std::string stateB = R"({"interfaces": {"E1": 1, "E2": 2}, "status": {"s0": {"E2": {}}}})";
class StateSourceTest : public InputsFixture {
 protected:
  StateSourceTest() { logged(); }
  void write(const std::string& text, const std::string& name = "state.json") {
    std::ofstream(dir_.path + "/" + name, std::ios::trunc) << text;
  }
  /// Dispatches net-snmp's external fd events once some arrive; false when none did in `s`.
  bool pumpEvents(int s) {
    fd_set fds[3] = {};  // empty sets
    int numfds = 0;
    netsnmp_external_event_info(&numfds, &fds[0], &fds[1], &fds[2]);
    timeval timeout{s, 0};
    int count = ::select(numfds, &fds[0], &fds[1], &fds[2], &timeout);
    return count > 0 && (netsnmp_dispatch_external_events(&count, &fds[0], &fds[1], &fds[2]), 1);
  }
  /// The table's rows and the lines logged, once every task has run.
  std::pair<std::set<std::string>, Events> settled() { return {tableRows(), logged()}; }
  TempDir dir_;
  std::string path_ = dir_.path + "/state.json";
  const Events applied_{"state applied: " + path_};
};

// Refused at start leaves nothing; a burst of renames or rewrites is one reload.
TEST_F(StateSourceTest, StartsAndReloadsOnRenameRewriteAndSignal) {
  std::string error;
  EXPECT_FALSE(Host::stateFileSource(inputs(), dir_.path + "/none/state.json")->start(error));
  EXPECT_EQ(error.rfind(dir_.path + "/none/state.json: cannot watch", 0), 0u) << error;
  write(R"({"interfaces": {"E1": 1, "E2": 1}})");
  EXPECT_FALSE(Host::stateFileSource(inputs(), path_)->start(error));
  EXPECT_EQ(published(), 0u);
  EXPECT_FALSE(pumpEvents(0)) << "a watch left behind";
  write(stateA);
  auto source = Host::stateFileSource(inputs(), path_);
  ASSERT_TRUE(source->start(error)) << error;
  EXPECT_EQ(settled(), std::pair(rowsOf(stateA), applied_));
  write(stateB), write(stateA, "other.json"), write(stateB, ".new");
  std::filesystem::rename(dir_.path + "/.new", path_), write(stateA);  // as editors do
  ASSERT_TRUE(pumpEvents(2)) << "no inotify event";
  EXPECT_EQ(logged(), Events{}) << "applied in task runs, not at once";
  EXPECT_EQ(settled(), std::pair(rowsOf(stateA), applied_)) << "one reload for the burst";
  write(stateB, "other.json");
  EXPECT_TRUE(pumpEvents(2) && scheduler_->idle()) << "other files are ignored";
  scheduler_->yieldAfterChecksIs(1);  // SIGHUP during a reload reads the file as it is then
  write(stateA), source->reload(), scheduler_->runOne();
  write(stateB), source->reload();
  EXPECT_EQ(settled(), std::pair(rowsOf(stateB), applied_));
}

// A tick republishes each storming interface with more drops in every configured class.
TEST_F(SimulatorTest, StormsAdvanceEveryConfiguredClass) {
  Simulator sim(inputs(), {.interfaces = 100, .slices = 3, .intervalMs = 60000});
  sim.start();
  for (const auto& [name, ifIndex] :
       {std::pair{"Ethernet1/1", 1001}, {"Ethernet1/48", 1048}, {"Ethernet3/4", 3004}}) {
    EXPECT_EQ(ifMib_->ifIndexByIntfId(Lumo::IntfId(Pondo::String(name))), U32Optional(ifIndex));
  }
  ASSERT_EQ(slice_->entityCount(), 3u);
  for (auto e = slice_->entityPtrIteratorConst(); !e.atEnd(); ++e)
    EXPECT_GE(dynamic_cast<const Status&>(*e.value()).intfStatus().count(), 33u);
  std::vector<StatusPtr> before;
  for (U32 i = 0; i < 100; ++i) before.push_back(live(Simulator::intfName(i)));
  EXPECT_EQ(tableRows().size(), 400u);
  InputLog log(*slice_, *ifMib_);
  scheduler_->yieldAfterChecksIs(2);
  sim.tick(), scheduler_->runOne();
  sim.tick(), sim.tick();  // during the round: the second is coalesced with the first
  const U64 runs = 1 + scheduler_->runUntilIdle();
  EXPECT_EQ(sim.rounds(), 2u);
  std::size_t stormed = 0, configured = 0, advanced[trafficClassCount] = {};
  for (U32 i = 0; i < 100; ++i) {
    const StatusPtr now = live(Simulator::intfName(i)), &old = before[i];
    const bool storms = Simulator::storming(i, 0) || Simulator::storming(i, 1);
    bool any = false;
    for (std::size_t c = 0; c < trafficClassCount; ++c) {
      const ClassStatus &was = old->classes().byClass[c], &is = now->classes().byClass[c];
      const bool set = !Threshold::isEq(is.threshold, Threshold{});
      EXPECT_TRUE(Threshold::isEq(is.threshold, was.threshold) && was.drops == 0) << i;
      EXPECT_EQ(is.drops > 0, set && storms) << i << " " << trafficClassNames[c];
      advanced[c] += set && storms, any |= set;
    }
    configured += any, stormed += any ? Simulator::storming(i, 0) + Simulator::storming(i, 1) : 0;
    EXPECT_EQ(now == old, !any || !storms) << i;
  }
  EXPECT_EQ(configured, 75u);
  for (std::size_t c = 0; c < trafficClassCount; ++c)
    EXPECT_GT(advanced[c], 0u) << trafficClassNames[c] << " never stormed";
  EXPECT_EQ(log.events.size(), stormed) << "one publication per storming interface a round";
  EXPECT_GE(runs, stormed / 2);
  for (auto it = mib_->stormControlIfTable().begin(); !it.atEnd(); ++it)
    EXPECT_EQ(it->status(), live(it->status()->name().stdString()));
}

// A flap withdraws a status and ifIndex and brings the last back with a fresh ifIndex.
TEST_F(SimulatorTest, FlapsGiveNewIfIndexes) {
  Simulator sim(inputs(), {.interfaces = 8, .intervalMs = 0, .flapMs = 60000});
  sim.start();
  const StatusPtr first = live("Ethernet1/1");
  InputLog log(*slice_, *ifMib_);
  const auto tableIfIndexes = [this] {
    std::set<U32> ifIndexes;
    for (const std::string& r : tableRows()) ifIndexes.insert(std::stoul(r));
    return ifIndexes;
  };
  sim.flap();
  EXPECT_EQ(std::exchange(log.events, {}),
            (Events{"status- slice0/Ethernet1/1", "ifIndex- Ethernet1/1"}));
  EXPECT_EQ(tableIfIndexes(), (std::set<U32>{1002, 1003, 1004, 1005, 1006, 1007, 1008}));
  sim.flap();
  EXPECT_EQ(log.events, (Events{"ifIndex= Ethernet1/1 1009", "status= slice0/Ethernet1/1",
                                "status- slice0/Ethernet1/2", "ifIndex- Ethernet1/2"}));
  EXPECT_EQ(live("Ethernet1/1"), first) << "drop counters kept";
  EXPECT_EQ(tableIfIndexes(), (std::set<U32>{1003, 1004, 1005, 1006, 1007, 1008, 1009}));
  for (int i = 2; i < 10; ++i) sim.flap();
  EXPECT_EQ(sim.flaps(), 10u);
  EXPECT_EQ(tableIfIndexes(), (std::set<U32>{1011, 1012, 1013, 1014, 1015, 1016, 1017}));
  EXPECT_FALSE(live("Ethernet1/2"));
  EXPECT_TRUE((sim.tick(), scheduler_->idle())) << "a frozen simulator never ticks";
}

// The simulator's alarms (ticks and flaps) go with it.
TEST_F(SimulatorTest, AlarmsGoWithTheSimulator) {
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
  Simulator(inputs(), {.interfaces = 8, .intervalMs = 10, .flapMs = 10}).start();
  timeval wait{};
  EXPECT_EQ(get_next_alarm_delay_time(&wait), 0) << "an alarm left behind";
}

}  // namespace
}  // namespace HostTest

// sm_bench — the table maintenance machine, run as the agent runs it, against std::map
// baselines measured in the same run.
///
/// BM_InitialBuild/N: N interfaces with an ifIndex, two status entities that both hold a status
/// for every interface, an empty table; timed from creating the agent (which creates the
/// machine) until the machine is ready, the process scheduler running its tasks until idle
/// under its default 1 ms time slice; the worst case, each interface joined twice.
/// BM_InitialBuildSpread/N: the same, but the N interfaces spread over 8 status entities, each
/// interface in exactly one of them, as on a switch with one entity per forwarding slice.
/// BM_StdMapBuild/N inserts the same 4N rows into a std::map.
/// BM_StatusEvent/N: a ready machine over N interfaces; one iteration publishes a new status
/// for one interface (one notification, four row replacements). BM_StdMap4Replace/N does four
/// erase-and-insert operations on a std::map of 4N rows.
/// BM_Reconcile/R: a table of R rows (R/4 interfaces) of which half belong to interfaces that
/// are gone from the inputs; timed from creating the agent until the restarted machine has
/// deleted them and is ready, under a 1 ms time slice.
/// `longest_task_run_us` is the scheduler's longest single task run, the largest over the
/// iterations. Inputs are built, and everything is torn down, outside the timed region.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "StormControlSnmp/StormControlSnmpAgent.h"
#include "Velo/TaskScheduler.h"

namespace {

using namespace StormControlSnmp;
using Bridging::StormControl::IntfStatus;
using Bridging::StormControl::Status;
using Key = StormControlIfTableKey;
using IntfStatusPtr = Pondo::Ptr<const IntfStatus>;

Pondo::String intfName(U32 ifIndex) { return Pondo::String("Ethernet" + std::to_string(ifIndex)); }

IntfStatusPtr makeStatus(U32 ifIndex, U64 drops) {
  Bridging::StormControl::Classes c;
  c[Bridging::StormControl::TrafficClass::all].drops = drops;
  c[Bridging::StormControl::TrafficClass::broadcast].drops = drops + 1;
  return Pondo::make<IntfStatus>(intfName(ifIndex), c);
}

/// Where the interfaces' statuses are published: in every status entity, or in one each.
enum class Layout { everyEntity, spread };

/// The machine's inputs: interfaces `EthernetK` with ifIndex K for K = 1, 1 + stride, ... up
/// to `lastIfIndex`, each with its own status object in each of `entityCount` status entities
/// or, spread, in entity K mod `entityCount` only.
struct Inputs {
  Inputs(U32 lastIfIndex, U32 stride, U32 entityCount, Layout layout = Layout::everyEntity) {
    for (U32 e = 0; e < entityCount; ++e) {
      entities.push_back(Pondo::make<Status>("status" + std::to_string(e)));
    }
    for (U32 k = 1; k <= lastIfIndex; k += stride) {
      ifMib->ifIndexByIntfIdIs(Lumo::IntfId(intfName(k)), k);
      for (U32 e = 0; e < entityCount; ++e) {
        if (layout == Layout::spread && e != k % entityCount) continue;
        entities[e]->intfStatusIs(intfName(k), makeStatus(k, e));
      }
    }
    for (const auto& entity : entities) slice->entityIs(entity);
  }

  Pondo::Ptr<IntfSnmp::IfMib> ifMib = Pondo::make<IntfSnmp::IfMib>("ifMib");
  Pondo::Ptr<Qel::Dir> slice = Pondo::make<Qel::Dir>("slice");
  std::vector<Pondo::Ptr<Status>> entities;
};

const Pondo::Ptr<Velo::TaskScheduler>& scheduler() {
  static const auto s = Velo::TaskSchedulerRoot::findOrCreateScheduler();
  return s;
}

double microseconds(std::chrono::nanoseconds d) { return double(d.count()) / 1000.0; }

/// Creates the agent over `in` and `mib` and runs the scheduler until idle; the agent, or null
/// (with the benchmark marked failed) when the machine is not ready then.
Pondo::Ptr<StormControlSnmpAgent> runAgent(benchmark::State& state, Root& root,
                                           const Pondo::Ptr<StormControlMib>& mib,
                                           const Inputs& in) {
  auto agent = root.stormControlSnmpAgentIs(mib, Pondo::Ptr<const Qel::Dir>(in.slice), in.ifMib);
  scheduler()->runUntilIdle();
  if (agent->stormControlIfTableSm()->ready()) return agent;
  state.SkipWithError("the machine is not ready once the scheduler is idle");
  return nullptr;
}

// ---- std::map baseline ------------------------------------------------------------------

using StatusShared = std::shared_ptr<const IntfStatus>;
using StdMap = std::map<Key, StatusShared>;

std::vector<StatusShared> sharedStatuses(U32 interfaces) {
  std::vector<StatusShared> out;
  for (U32 k = 1; k <= interfaces; ++k) {
    out.push_back(
        std::make_shared<const IntfStatus>(intfName(k), Bridging::StormControl::Classes{}));
  }
  return out;
}

void insertRows(StdMap& map, U32 ifIndex, const StatusShared& status) {
  for (StormControlTCType tc : stormControlTCTypes) map.emplace(Key(ifIndex, tc), status);
}

// ---- initial build ----------------------------------------------------------------------

/// Times the agent's creation until its machine is ready over `in`, an empty table each time.
void initialBuild(benchmark::State& state, const Inputs& in, U32 interfaces) {
  scheduler()->timeSliceIs(Velo::TaskScheduler::defaultTimeSlice);
  double longestUs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto mib = stormControlMibFactory("stormcontrolmib");
    auto root = rootFactory("root");
    scheduler()->statisticsReset();
    state.ResumeTiming();
    auto agent = runAgent(state, *root, mib, in);
    state.PauseTiming();
    if (agent && mib->stormControlIfTable().count() != 4 * interfaces) {
      state.SkipWithError("the table does not hold four rows per interface");
    }
    longestUs = std::max(longestUs, microseconds(scheduler()->longestRun()));
    agent = nullptr;
    root = nullptr;
    mib = nullptr;
    state.ResumeTiming();
  }
  state.counters["longest_task_run_us"] = longestUs;
}

void BM_InitialBuild(benchmark::State& state) {
  const U32 interfaces = U32(state.range(0));
  initialBuild(state, Inputs(interfaces, 1, 2), interfaces);
}

void BM_InitialBuildSpread(benchmark::State& state) {
  const U32 interfaces = U32(state.range(0));
  initialBuild(state, Inputs(interfaces, 1, 8, Layout::spread), interfaces);
}

void BM_StdMapBuild(benchmark::State& state) {
  const U32 interfaces = U32(state.range(0));
  const auto statuses = sharedStatuses(interfaces);
  for (auto _ : state) {
    auto map = std::make_unique<StdMap>();
    for (U32 k = 1; k <= interfaces; ++k) insertRows(*map, k, statuses[k - 1]);
    state.PauseTiming();
    map = nullptr;
    state.ResumeTiming();
  }
}

// ---- one status event -------------------------------------------------------------------

/// Interfaces the event benchmarks change, spread over the whole range.
constexpr U32 changedInterfaces = 1024;

U32 changedIfIndex(U32 interfaces, U64 i) {
  return U32(i % changedInterfaces) * (interfaces / changedInterfaces) + 1;
}

/// Which of the two prepared statuses iteration `i` publishes: each is a change.
unsigned changedVariant(U64 i) { return unsigned(i / changedInterfaces) & 1; }

void BM_StatusEvent(benchmark::State& state) {
  const U32 interfaces = U32(state.range(0));
  const Inputs in(interfaces, 1, 2);
  auto mib = stormControlMibFactory("stormcontrolmib");
  auto root = rootFactory("root");
  auto agent = runAgent(state, *root, mib, in);
  if (!agent) return;
  std::vector<Pondo::String> names;
  std::vector<IntfStatusPtr> variants[2];
  for (U64 j = 0; j < changedInterfaces; ++j) {
    const U32 ifIndex = changedIfIndex(interfaces, j);
    names.push_back(intfName(ifIndex));
    variants[0].push_back(makeStatus(ifIndex, 100));
    variants[1].push_back(makeStatus(ifIndex, 200));
  }
  Status& entity = *in.entities[0];
  U64 i = 0;
  for (auto _ : state) {
    const U64 j = i % changedInterfaces;
    entity.intfStatusIs(names[j], variants[changedVariant(i)][j]);
    ++i;
  }
  const U64 last = i - 1;
  const auto* row = mib->stormControlIfTable(
      Key(changedIfIndex(interfaces, last), StormControlTCType::unknownUnicast));
  if (!row || row->status() != variants[changedVariant(last)][last % changedInterfaces]) {
    state.SkipWithError("the last status event did not reach the table");
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_StdMap4Replace(benchmark::State& state) {
  const U32 interfaces = U32(state.range(0));
  const auto statuses = sharedStatuses(interfaces);
  StdMap map;
  for (U32 k = 1; k <= interfaces; ++k) insertRows(map, k, statuses[k - 1]);
  std::vector<StatusShared> variants[2];
  for (U64 j = 0; j < changedInterfaces; ++j) {
    for (auto& v : variants) {
      v.push_back(std::make_shared<const IntfStatus>(intfName(changedIfIndex(interfaces, j)),
                                                     Bridging::StormControl::Classes{}));
    }
  }
  U64 i = 0;
  for (auto _ : state) {
    const U32 ifIndex = changedIfIndex(interfaces, i);
    const StatusShared& status = variants[changedVariant(i)][i % changedInterfaces];
    for (StormControlTCType tc : stormControlTCTypes) {
      map.erase(Key(ifIndex, tc));
      map.emplace(Key(ifIndex, tc), status);
    }
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
}

// ---- reconciliation after a restart -----------------------------------------------------

void BM_Reconcile(benchmark::State& state) {
  const U32 interfaces = U32(state.range(0) / 4);
  const Inputs in(interfaces, 2, 1);  // odd ifIndexes only: the even ones are gone
  const IntfStatusPtr goneStatus = makeStatus(0, 0);
  auto mib = stormControlMibFactory("stormcontrolmib");
  for (U32 k = 1; k <= interfaces; k += 2) {
    const IntfStatusPtr status = in.entities[0]->intfStatus(intfName(k));
    for (StormControlTCType tc : stormControlTCTypes) {
      mib->stormControlIfTableIs(Key(k, tc), status);
    }
  }
  scheduler()->timeSliceIs(std::chrono::milliseconds(1));
  double longestUs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    for (U32 k = 2; k <= interfaces; k += 2) {
      for (StormControlTCType tc : stormControlTCTypes) {
        mib->stormControlIfTableIs(Key(k, tc), goneStatus);
      }
    }
    auto root = rootFactory("root");
    scheduler()->statisticsReset();
    state.ResumeTiming();
    auto agent = runAgent(state, *root, mib, in);
    state.PauseTiming();
    if (agent && mib->stormControlIfTable().count() != 2 * interfaces) {
      state.SkipWithError("stale rows are left in the table");
    }
    longestUs = std::max(longestUs, microseconds(scheduler()->longestRun()));
    agent = nullptr;
    root = nullptr;
    state.ResumeTiming();
  }
  state.counters["longest_task_run_us"] = longestUs;
}

// Each benchmark directly beside its baseline.
BENCHMARK(BM_InitialBuild)->Arg(10000)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InitialBuildSpread)->Arg(10000)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdMapBuild)->Arg(10000)->Iterations(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InitialBuild)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InitialBuildSpread)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StdMapBuild)->Arg(100000)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StatusEvent)->Arg(100000);
BENCHMARK(BM_StdMap4Replace)->Arg(100000);
BENCHMARK(BM_Reconcile)->Arg(400000)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

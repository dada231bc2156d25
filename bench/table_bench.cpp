// table_bench — the table entity against a std::map baseline, measured in the same run.
///
/// BM_TableReplace/N and BM_StdMapReplace/N replace a random row (delete, then insert with a
/// new status) in a table of N rows; BM_TableWalk/N and BM_StdMapWalk/N walk all rows in key
/// order. `bytes_per_row` is the memory the collection spends per row: for the table from the
/// rows' allocation tracker, for std::map from a counting allocator.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <random>
#include <vector>

#include "StormControlSnmp/StormControlSnmp.h"

namespace {

using namespace StormControlSnmp;
using Bridging::StormControl::IntfStatus;
using Key = StormControlIfTableKey;

Key keyOf(U64 row) {
  const U64 classes = stormControlTCTypeCount;
  return Key(U32(row / classes + 1), StormControlTCType(row % classes));
}

/// Random row numbers, the same sequence for the table and its baseline.
const std::vector<U32>& randomRows(U64 rows) {
  static std::map<U64, std::vector<U32>> cache;
  auto& v = cache[rows];
  if (v.empty()) {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<U32> pick(0, U32(rows - 1));
    v.resize(1 << 20);
    for (U32& r : v) r = pick(rng);
  }
  return v;
}

const IntfStatus* rawStatus(int which) {
  static const Pondo::Ptr<const IntfStatus> statuses[2] = {
      Pondo::make<IntfStatus>("Ethernet1", Bridging::StormControl::Classes{}),
      Pondo::make<IntfStatus>("Ethernet1", Bridging::StormControl::Classes{})};
  return statuses[which].get();
}

Pondo::Ptr<StormControlMib> filledTable(U64 rows) {
  auto mib = stormControlMibFactory("stormcontrolmib");
  const Pondo::Ptr<const IntfStatus> status(rawStatus(0));
  for (U64 r = 0; r < rows; ++r) mib->stormControlIfTableIs(keyOf(r), status);
  return mib;
}

// ---- std::map baseline with a counting allocator -----------------------------------------

inline U64 stdMapBytes = 0;

template <class T>
struct CountingAllocator {
  using value_type = T;
  CountingAllocator() = default;
  template <class U>
  CountingAllocator(const CountingAllocator<U>&) {}
  T* allocate(std::size_t n) {
    stdMapBytes += n * sizeof(T);
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) {
    stdMapBytes -= n * sizeof(T);
    std::allocator<T>().deallocate(p, n);
  }
  template <class U>
  bool operator==(const CountingAllocator<U>&) const {
    return true;
  }
};

using StatusShared = std::shared_ptr<const IntfStatus>;
using StdMap = std::map<Key, StatusShared, std::less<Key>,
                        CountingAllocator<std::pair<const Key, StatusShared>>>;

const StatusShared& sharedStatus(int which) {
  static const StatusShared statuses[2] = {
      std::make_shared<const IntfStatus>("Ethernet1", Bridging::StormControl::Classes{}),
      std::make_shared<const IntfStatus>("Ethernet1", Bridging::StormControl::Classes{})};
  return statuses[which];
}

std::unique_ptr<StdMap> filledStdMap(U64 rows) {
  auto map = std::make_unique<StdMap>();
  for (U64 r = 0; r < rows; ++r) map->emplace(keyOf(r), sharedStatus(0));
  return map;
}

// ---- benchmarks -------------------------------------------------------------------------

void BM_TableReplace(benchmark::State& state) {
  const U64 rows = U64(state.range(0));
  const U64 bytesBefore = StormControlIfTableEntry::memAllocationTracker_.liveBytes;
  auto mib = filledTable(rows);
  const auto& order = randomRows(rows);
  const Pondo::Ptr<const IntfStatus> statuses[2] = {Pondo::Ptr<const IntfStatus>(rawStatus(0)),
                                                    Pondo::Ptr<const IntfStatus>(rawStatus(1))};
  std::size_t i = 0;
  for (auto _ : state) {
    const Key key = keyOf(order[i++ & (order.size() - 1)]);
    mib->stormControlIfTableDel(key);
    benchmark::DoNotOptimize(mib->stormControlIfTableIs(key, statuses[i & 1]));
  }
  state.counters["bytes_per_row"] =
      double(StormControlIfTableEntry::memAllocationTracker_.liveBytes - bytesBefore) /
      double(rows);
}

void BM_StdMapReplace(benchmark::State& state) {
  const U64 rows = U64(state.range(0));
  const U64 bytesBefore = stdMapBytes;
  auto map = filledStdMap(rows);
  const auto& order = randomRows(rows);
  std::size_t i = 0;
  for (auto _ : state) {
    const Key key = keyOf(order[i++ & (order.size() - 1)]);
    map->erase(key);
    benchmark::DoNotOptimize(map->emplace(key, sharedStatus(int(i & 1))));
  }
  state.counters["bytes_per_row"] = double(stdMapBytes - bytesBefore) / double(rows);
}

void BM_TableWalk(benchmark::State& state) {
  const U64 rows = U64(state.range(0));
  const U64 bytesBefore = StormControlIfTableEntry::memAllocationTracker_.liveBytes;
  auto mib = filledTable(rows);
  for (auto _ : state) {
    U64 sum = 0;
    for (auto it = mib->stormControlIfTable().begin(); !it.atEnd(); ++it) sum += it->ifIndex();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * int64_t(rows));
  state.counters["bytes_per_row"] =
      double(StormControlIfTableEntry::memAllocationTracker_.liveBytes - bytesBefore) /
      double(rows);
}

void BM_StdMapWalk(benchmark::State& state) {
  const U64 rows = U64(state.range(0));
  const U64 bytesBefore = stdMapBytes;
  auto map = filledStdMap(rows);
  for (auto _ : state) {
    U64 sum = 0;
    for (const auto& [key, status] : *map) sum += key.ifIndex();
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * int64_t(rows));
  state.counters["bytes_per_row"] = double(stdMapBytes - bytesBefore) / double(rows);
}

// Each benchmark directly beside its baseline.
BENCHMARK(BM_TableReplace)->Arg(40000);
BENCHMARK(BM_StdMapReplace)->Arg(40000);
BENCHMARK(BM_TableReplace)->Arg(400000);
BENCHMARK(BM_StdMapReplace)->Arg(400000);
BENCHMARK(BM_TableWalk)->Arg(40000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StdMapWalk)->Arg(40000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TableWalk)->Arg(400000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StdMapWalk)->Arg(400000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

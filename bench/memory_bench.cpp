// Heap bytes per point that the plug-in holds, through its exports, beside
// a std::unordered_map<std::string, std::string> of the same pairs.
#include <malloc.h>

#include "bench_support.h"

namespace pelmora::bench {
namespace {

// Bytes handed out by malloc and not yet freed, over every arena.
double HeapInUse() { return double(::mallinfo2().uordblks); }

void BM_MemoryPerPoint(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const HostPoints points(n);
  LoopbackServer server;
  double discovered = 0, banked = 0, floor = 0;
  for (auto _ : state) {
    const double before = HeapInUse();
    {
      const DiscoveredPlugin plugin(points, server, state);
      if (!plugin.ok()) return;
      discovered = HeapInUse() - before;
      // Every point changes once: each has its change waiting in a bank.
      for (int i = 0; i < n; ++i)
        plugin.host().UpdateItem(points.name(i), "1.5");
      banked = HeapInUse() - before;
    }
    const double floorBefore = HeapInUse();
    const FloorMap map(points);
    floor = HeapInUse() - floorBefore;
  }
  state.counters["B_discovered"] = discovered / n;
  state.counters["B_banked"] = banked / n;
  state.counters["floor_B"] = floor / n;
}
BENCHMARK(BM_MemoryPerPoint)
    ->Arg(100000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pelmora::bench

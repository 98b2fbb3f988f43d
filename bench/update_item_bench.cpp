// What a host pays per UpdateItem and SendEventEx call, through the
// plug-in's exports with its link running, beside a mutex-guarded
// unordered_map measured in the same iteration.
#include <algorithm>

#include "bench_support.h"

namespace pelmora::bench {
namespace {

// Calls per measured phase: long enough that starting the threads is lost
// in it, short enough that a phase rarely straddles a burst of other load.
constexpr int kCallsPerPhase = 200000;

// How a scan shares the points out among its threads.
enum class Share {
  kHalves,       // thread t: the t-th of equal groups of neighbouring points
  kInterleaved,  // thread t: every point whose index is t modulo the threads
};

// Each thread scans its share of the points `rounds` times from round
// `first` on, with put(t, name, value).
template <typename Put>
Elapsed Scan(HostThreads& threads, int threadCount, const HostPoints& points,
             int first, int rounds, Put put, Share share = Share::kHalves) {
  const int n = points.count();
  return threads.Run(threadCount, [&](int t) {
    const bool halves = share == Share::kHalves;
    const int begin = halves ? n * t / threadCount : t;
    const int end = halves ? n * (t + 1) / threadCount : n;
    const int step = halves ? 1 : threadCount;
    for (int r = first; r < first + rounds; ++r)
      for (int i = begin; i < end; i += step)
        put(t, points.name(i), points.value(i, r));
  });
}

// The same after one round untimed: a host that keeps its threads and their
// shares of the points, with its caches warm.
template <typename Put>
Elapsed SteadyScan(HostThreads& threads, int threadCount,
                   const HostPoints& points, int first, int rounds, Put put,
                   Share share = Share::kHalves) {
  Scan(threads, threadCount, points, first - 1, 1, put, share);
  return Scan(threads, threadCount, points, first, rounds, put, share);
}

auto ToPlugin(const PluginHost& plugin) {
  return [&plugin](int, const std::string& name, const char* value) {
    plugin.UpdateItem(name, value);
  };
}
auto ToFloor(FloorMap& floor) {
  return [&floor](int, const std::string& name, const char* value) {
    floor.Put(name, value);
  };
}

// Per call: the plug-in's wall time, the floor's, and their ratio.
void ReportBesideFloor(benchmark::State& state, const Elapsed& plugin,
                       const Elapsed& floor, double calls) {
  state.counters["ns"] = plugin.wallNs / calls;
  state.counters["floor_ns"] = floor.wallNs / calls;
  state.counters["x_floor"] = plugin.wallNs / floor.wallNs;
}

// Known points after discovery, every one of them changing every round, so
// that every call also replaces the point's change in the active bank. Each
// iteration scans with one thread through the plug-in and the floor, then
// with two threads on disjoint halves through both, then with two threads
// on interleaved points (thread 0 the even, thread 1 the odd), whose
// neighbouring points belong to different threads.
void BM_UpdateItemKnownPoint(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const HostPoints points(n);
  LoopbackServer server;
  const DiscoveredPlugin discovered(points, server, state);
  if (!discovered.ok()) return;
  const PluginHost& plugin = discovered.host();
  FloorMap floor(points);
  // Each thread's share in a map of its own: two threads that share
  // nothing, what this machine gives two threads at that moment.
  FloorMap halves[2], alternate[2];
  for (int i = 0; i < n; ++i) {
    halves[i < n / 2 ? 0 : 1].Put(points.name(i), points.value(i, 0));
    alternate[i % 2].Put(points.name(i), points.value(i, 0));
  }
  auto toOwnShare = [](FloorMap* maps) {
    return [maps](int thread, const std::string& name, const char* value) {
      maps[thread].Put(name, value);
    };
  };
  HostThreads threads(2);
  const int rounds = std::max(1, kCallsPerPhase / n);
  int round = 1;
  Elapsed one, floorOne, two, floorTwo, splitTwo, mixedTwo, splitMixedTwo;
  auto steady = [&](int threadCount, Share share, auto put) {
    const Elapsed e =
        SteadyScan(threads, threadCount, points, round + 1, rounds, put, share);
    round += rounds + 1;
    return e;
  };
  for (auto _ : state) {
    one += steady(1, Share::kHalves, ToPlugin(plugin));
    floorOne += steady(1, Share::kHalves, ToFloor(floor));
    two += steady(2, Share::kHalves, ToPlugin(plugin));
    floorTwo += steady(2, Share::kHalves, ToFloor(floor));
    splitTwo += steady(2, Share::kHalves, toOwnShare(halves));
    mixedTwo += steady(2, Share::kInterleaved, ToPlugin(plugin));
    splitMixedTwo += steady(2, Share::kInterleaved, toOwnShare(alternate));
  }
  const double calls = double(state.iterations()) * rounds * n;
  ReportBesideFloor(state, one, floorOne, calls);
  // Two threads' throughput over one thread's.
  state.counters["speedup_2t"] = one.wallNs / two.wallNs;
  state.counters["floor_speedup_2t"] = floorOne.wallNs / floorTwo.wallNs;
  state.counters["split_speedup_2t"] = floorOne.wallNs / splitTwo.wallNs;
  // The plug-in's speed-up over what two threads sharing nothing got in
  // the same iterations.
  state.counters["vs_split_2t"] =
      (one.wallNs / two.wallNs) / (floorOne.wallNs / splitTwo.wallNs);
  // The same with interleaved points.
  state.counters["speedup_2t_mixed"] = one.wallNs / mixedTwo.wallNs;
  state.counters["split_speedup_2t_mixed"] =
      floorOne.wallNs / splitMixedTwo.wallNs;
  state.counters["vs_split_2t_mixed"] =
      (one.wallNs / mixedTwo.wallNs) / (floorOne.wallNs / splitMixedTwo.wallNs);
  // What the speed-up is made of: the CPU time two threads spend on the
  // same calls over one thread's (1.0: sharing costs nothing), and how many
  // cores the two had on average (2.0: neither was ever descheduled).
  state.counters["cpu_2t"] = two.cpuNs / one.cpuNs;
  state.counters["cpu_2t_mixed"] = mixedTwo.cpuNs / one.cpuNs;
  state.counters["cores_2t"] = two.cpuNs / two.wallNs;
  state.counters["split_cpu_2t"] = splitTwo.cpuNs / floorOne.cpuNs;
}
// A second per repetition: several iterations even at 100,000 points, so
// that one disturbed phase does not make a repetition's figures. At 2,000
// points every thread's points stay in its core's own cache, so what two
// threads cost each other there is what they share, not what they miss.
BENCHMARK(BM_UpdateItemKnownPoint)
    ->Apply(Repeated)
    ->Arg(2000)
    ->Arg(10000)
    ->Arg(100000)
    ->MinTime(1.0)
    ->Unit(benchmark::kMillisecond);

// Sends bad command datagrams from the server's port to the plug-in at
// `perSecond` while on: command-shaped, of the station's MAC, with a
// signature that fails, so that each costs the plug-in a whole keyed hash.
class CommandFlood {
 public:
  CommandFlood(LoopbackServer& server, int perSecond)
      : thread_([this, &server, perSecond] { Run(server, perSecond); }) {}
  ~CommandFlood() {
    quit_ = true;
    thread_.join();
  }
  void Flood(bool on) { on_ = on; }
  std::uint64_t sent() const { return sent_; }

 private:
  void Run(LoopbackServer& server, int perSecond) {
    std::vector<std::uint8_t> bad = {
        0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x01, 0x03, 0xFF, 0xFF,
        0xFF, 56,   0,    0,    0,    0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    bad.resize(88, 0xFF);
    const int perMs = perSecond / 1000;
    auto next = std::chrono::steady_clock::now();
    while (!quit_) {
      next += std::chrono::milliseconds(1);
      std::this_thread::sleep_until(next);
      if (!on_) continue;
      for (int i = 0; i < perMs; ++i)
        if (server.SendToPlugin(bad)) ++sent_;
    }
  }

  std::atomic<bool> quit_{false}, on_{false};
  std::atomic<std::uint64_t> sent_{0};
  std::thread thread_;
};

// Known points as above, one host thread, with signed commands turned on:
// each iteration scans once quietly and once while 10,000 bad command
// datagrams a second arrive, what a flood from the server's address costs
// the host. The quiet scan is the floor.
void BM_UpdateItemUnderCommandFlood(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const HostPoints points(n);
  LoopbackServer server;
  const DiscoveredPlugin discovered(points, server, state,
                                    std::string(64, 'a'));
  if (!discovered.ok()) return;
  const PluginHost& plugin = discovered.host();
  HostThreads threads(1);
  CommandFlood flood(server, 10000);
  const int rounds = std::max(1, kCallsPerPhase / n);
  int round = 1;
  Elapsed quiet, flooded;
  for (auto _ : state) {
    quiet +=
        SteadyScan(threads, 1, points, round + 1, rounds, ToPlugin(plugin));
    round += rounds + 1;
    flood.Flood(true);
    flooded +=
        SteadyScan(threads, 1, points, round + 1, rounds, ToPlugin(plugin));
    flood.Flood(false);
    round += rounds + 1;
  }
  const double calls = double(state.iterations()) * rounds * n;
  state.counters["ns"] = flooded.wallNs / calls;
  state.counters["floor_ns"] = quiet.wallNs / calls;
  state.counters["x_floor"] = flooded.wallNs / quiet.wallNs;
  // The flood's rate over the flooded scans (their untimed warm-up rounds
  // included in the count, so a little high).
  state.counters["bad_per_s"] = double(flood.sent()) / (flooded.wallNs / 1e9);
}
BENCHMARK(BM_UpdateItemUnderCommandFlood)
    ->Apply(Repeated)
    ->Arg(10000)
    ->MinTime(1.0)
    ->Unit(benchmark::kMillisecond);

// The host's first round: every call brings a new name, which joins the
// point list. One service per iteration; the floor inserts the same pairs
// into a map reserved for them, as the plug-in's buckets are sized for them.
void BM_UpdateItemFirstRound(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const HostPoints points(n);
  LoopbackServer server;
  PluginHost& plugin = PluginHost::Instance();
  HostThreads threads(1);
  Elapsed first, floorFirst;
  for (auto _ : state) {
    plugin.Start(HashSizeFor(n), server.port());
    first += Scan(threads, 1, points, 0, 1, ToPlugin(plugin));
    // A known name ends the round, so that the stop need not wait for it.
    plugin.UpdateItem(points.name(0), points.value(0, 0));
    plugin.Stop();
    FloorMap floor;
    floor.Reserve(static_cast<std::size_t>(n));
    floorFirst += Scan(threads, 1, points, 0, 1, ToFloor(floor));
  }
  ReportBesideFloor(state, first, floorFirst, double(state.iterations()) * n);
}
BENCHMARK(BM_UpdateItemFirstRound)
    ->Apply(Repeated)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

// Events after discovery: the point names and values as the two texts.
// Eight phases of 10,000 events per service stay below what one bank
// accepts, so every event is taken, none refused.
void BM_SendEventEx(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const HostPoints points(n);
  LoopbackServer server;
  const DiscoveredPlugin discovered(points, server, state);
  if (!discovered.ok()) return;
  const PluginHost& plugin = discovered.host();
  FloorMap floor(points);
  HostThreads threads(1);
  int round = 1;
  Elapsed events, floorPuts;
  for (auto _ : state) {
    events += Scan(threads, 1, points, round, 1,
                   [&plugin](int, const std::string& a, const char* b) {
                     plugin.SendEventEx(a, b);
                   });
    floorPuts += Scan(threads, 1, points, round, 1, ToFloor(floor));
    ++round;
  }
  ReportBesideFloor(state, events, floorPuts, double(state.iterations()) * n);
}
BENCHMARK(BM_SendEventEx)
    ->Apply(Repeated)
    ->Arg(10000)
    ->Iterations(8)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pelmora::bench

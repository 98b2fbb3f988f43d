// What a stop gives a host that leaves changes and events pending: the time
// UninitService takes to return, and whether every record reached the
// server, beside a bare loop that sends the same datagrams.
#include <string>

#include "bench_support.h"

namespace pelmora::bench {
namespace {

constexpr int kPoints = 10000;
constexpr int kEvents = 10000;

// Each iteration starts the plug-in, completes its first round, pushes a
// change of every point and kEvents events at once, and stops it at once:
// the paced drain (200 records a second) has had no time, so nearly all of
// it is left to the stop.
void BM_StopWithPending(benchmark::State& state) {
  const HostPoints points(kPoints);
  LoopbackServer server;
  PluginHost& plugin = PluginHost::Instance();
  double stopNs = 0, deliveredNs = 0, floorNs = 0;
  double stoppedDatagrams = 0;
  for (auto _ : state) {
    plugin.Start(HashSizeFor(kPoints), server.port());
    const std::uint64_t snapshot = server.records(wire::kKindSnapshot);
    for (int i = 0; i < kPoints; ++i)
      plugin.UpdateItem(points.name(i), points.value(i, 0));
    plugin.UpdateItem(points.name(0), points.value(0, 0));
    if (!server.WaitForRecords(wire::kKindSnapshot, snapshot + kPoints,
                               std::chrono::seconds(5))) {
      plugin.Stop();
      state.SkipWithError("the snapshot did not arrive whole");
      return;
    }
    const std::uint64_t items = server.records(wire::kKindItem);
    const std::uint64_t events = server.records(wire::kKindEvent);
    for (int i = 0; i < kPoints; ++i)
      plugin.UpdateItem(points.name(i), points.value(i, 1));
    for (int i = 0; i < kEvents; ++i)
      plugin.SendEventEx(points.name(i), points.value(i, 2));

    server.Keep(true);
    const std::int64_t start = NowNs();
    plugin.Stop();
    stopNs += double(NowNs() - start);
    const bool whole = server.WaitForRecords(wire::kKindItem, items + kPoints,
                                             std::chrono::seconds(1)) &&
                       server.WaitForRecords(wire::kKindEvent, events + kEvents,
                                             std::chrono::seconds(1));
    deliveredNs += double(server.lastArrivalNs() - start);
    server.Keep(false);
    if (!whole) {
      state.SkipWithError("records were missing at the receiver");
      return;
    }

    // The floor: the datagrams that the stop sent, sent again by a bare
    // loop and timed to the arrival of the last.
    const std::vector<LoopbackServer::Arrival> kept = server.TakeKept();
    const BareSocket bare(server.port());
    const std::uint64_t before = server.datagrams();
    const std::int64_t floorStart = NowNs();
    for (const LoopbackServer::Arrival& a : kept) bare.Send(a.bytes);
    if (!server.WaitForDatagrams(before + kept.size(),
                                 std::chrono::seconds(1))) {
      state.SkipWithError("datagrams were lost at the receiver");
      return;
    }
    floorNs += double(server.lastArrivalNs() - floorStart);
    stoppedDatagrams += double(kept.size());
  }
  const double runs = double(state.iterations());
  state.counters["uninit_ms"] = stopNs / runs / 1e6;
  state.counters["delivered_ms"] = deliveredNs / runs / 1e6;
  state.counters["floor_ms"] = floorNs / runs / 1e6;
  state.counters["datagrams"] = stoppedDatagrams / runs;
}
BENCHMARK(BM_StopWithPending)
    ->Apply(Repeated)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pelmora::bench

// What the link's pacing gives a host, measured through a running link:
// the management thread hands the assembler ten records per 50 ms and an
// idle cycle waits a second before the next flip. Both benchmarks take
// real seconds, so they run only with --pacing.
#include <algorithm>
#include <string>

#include "bench_support.h"

namespace pelmora::bench {
namespace {

constexpr int kPoints = 10000;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Nanoseconds from a bare sendto of a small datagram to its arrival at
// `server`, the median of a hundred.
double LoopbackTransitNs(const LoopbackServer& server) {
  const BareSocket bare(server.port());
  const std::vector<std::uint8_t> datagram(64, 0);
  std::vector<double> ns;
  for (int i = 0; i < 100; ++i) {
    const std::uint64_t until = server.datagrams() + 1;
    const std::int64_t start = NowNs();
    bare.Send(datagram);
    if (server.WaitForDatagrams(until, std::chrono::seconds(1)))
      ns.push_back(double(server.lastArrivalNs() - start));
  }
  return ns.empty() ? -1 : Median(ns);
}

// Item records per second in `kept`: the slope of the records received so
// far against the arrival time, fitted over every item datagram. Datagrams
// leave on the send loop's 100 ms ticks, so the first and last arrival
// alone would misstate the span by up to a tick.
double ItemRecordsPerSecond(const std::vector<LoopbackServer::Arrival>& kept) {
  std::vector<std::pair<double, double>> points;  // (seconds, records)
  double records = 0;
  for (const LoopbackServer::Arrival& a : kept) {
    wire::Datagram d;
    if (!wire::ParseDatagram(a.bytes.data(), a.bytes.size(), &d, nullptr) ||
        d.kind != wire::kKindItem)
      continue;
    records += double(d.records.size());
    points.emplace_back(double(a.atNs) / 1e9, records);
  }
  double meanT = 0, meanR = 0;
  for (const auto& [t, r] : points) {
    meanT += t / double(points.size());
    meanR += r / double(points.size());
  }
  double covariance = 0, variance = 0;
  for (const auto& [t, r] : points) {
    covariance += (t - meanT) * (r - meanR);
    variance += (t - meanT) * (t - meanT);
  }
  return variance > 0 ? covariance / variance : 0;
}

// A backlog of changes for every point, drained by the running link: the
// change records per second that reach the server. The pacing allows ten
// assembler calls per 50 ms, each of them one record here: 200 a second.
void BM_PacedChangeThroughput(benchmark::State& state) {
  const HostPoints points(kPoints);
  LoopbackServer server;
  const DiscoveredPlugin discovered(points, server, state);
  if (!discovered.ok()) return;
  const PluginHost& plugin = discovered.host();
  for (int i = 0; i < kPoints; ++i)
    plugin.UpdateItem(points.name(i), points.value(i, 1));
  double perSecond = 0;
  for (auto _ : state) {
    server.Keep(true);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    server.Keep(false);
    perSecond = ItemRecordsPerSecond(server.TakeKept());
  }
  state.counters["records_per_s"] = perSecond;
  state.counters["design_per_s"] = 200;
}

// One change at a time on an idle link: from the UpdateItem call to the
// arrival of the datagram that carries it. Each sample waits a different
// share of the idle cycle first, so the samples spread over its second.
// The transport's own floor, a bare datagram over loopback, beside it.
void BM_IdleChangeLatency(benchmark::State& state) {
  constexpr int kSamples = 10;
  const HostPoints points(kPoints);
  LoopbackServer server;
  const DiscoveredPlugin discovered(points, server, state);
  if (!discovered.ok()) return;
  const PluginHost& plugin = discovered.host();
  std::vector<double> latencyMs;
  for (auto _ : state) {
    for (int k = 0; k < kSamples; ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(k * 100 + 50));
      const std::string value = "latency" + std::to_string(k);
      const std::string record = points.name(k) + "|" + value;
      server.Keep(true);
      const std::int64_t start = NowNs();
      plugin.UpdateItem(points.name(k), value.c_str());
      std::int64_t arrived = -1;
      while (arrived < 0 && NowNs() - start < 3000000000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        for (const LoopbackServer::Arrival& a : server.TakeKept()) {
          wire::Datagram d;
          if (wire::ParseDatagram(a.bytes.data(), a.bytes.size(), &d,
                                  nullptr) &&
              std::count(d.records.begin(), d.records.end(), record) > 0)
            arrived = a.atNs;
        }
      }
      server.Keep(false);
      if (arrived < 0) {
        state.SkipWithError("a change did not arrive within 3 s");
        break;
      }
      latencyMs.push_back(double(arrived - start) / 1e6);
    }
  }
  if (latencyMs.empty()) return;
  state.counters["median_ms"] = Median(latencyMs);
  double sum = 0;
  for (double ms : latencyMs) sum += ms;
  state.counters["mean_ms"] = sum / double(latencyMs.size());
  state.counters["min_ms"] =
      *std::min_element(latencyMs.begin(), latencyMs.end());
  state.counters["max_ms"] =
      *std::max_element(latencyMs.begin(), latencyMs.end());
  state.counters["loopback_us"] = LoopbackTransitNs(server) / 1e3;
}

}  // namespace

void RegisterPacingBenchmarks() {
  benchmark::RegisterBenchmark("BM_PacedChangeThroughput",
                               BM_PacedChangeThroughput)
      ->Iterations(1)
      ->Unit(benchmark::kSecond);
  benchmark::RegisterBenchmark("BM_IdleChangeLatency", BM_IdleChangeLatency)
      ->Iterations(1)
      ->Unit(benchmark::kSecond);
}

}  // namespace pelmora::bench

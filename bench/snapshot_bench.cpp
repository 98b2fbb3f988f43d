// The full snapshot against a bare sendto loop of the same datagrams to the
// same receiver, each timed from its first send to the arrival of its last
// datagram at the loopback server.
#include "bench_support.h"
#include "platform/env.h"
#include "service/link_service.h"

namespace pelmora::bench {
namespace {

// The service as InitService leaves it once the host's first round of
// `points` is complete, its link open to `server` with no worker running:
// the benchmark's thread sends the snapshot itself.
class DiscoveredService {
 public:
  DiscoveredService(const HostPoints& points, const LoopbackServer& server)
      : service_(*Env::Default()) {
    service_.points().SizeTable(HashSizeFor(points.count()));
    for (int i = 0; i < points.count(); ++i)
      service_.points().Update(points.name(i), points.value(i, 0));
    service_.points().Update(points.name(0), points.value(0, 0));
    service_.settings().SetServerAddress("127.0.0.1");
    service_.settings().SetServerPort(server.port());
    UdpLink::OpenStep failedStep;
    OsError error;
    open_ = service_.link().Open(&failedStep, &error);
  }
  bool open() const { return open_; }
  LinkService& service() { return service_; }

 private:
  LinkService service_;
  bool open_ = false;
};

void BM_Snapshot(benchmark::State& state) {
  const HostPoints points(static_cast<int>(state.range(0)));
  LoopbackServer server;
  DiscoveredService discovered(points, server);
  if (!discovered.open()) {
    state.SkipWithError("the link did not open");
    return;
  }
  LinkService& service = discovered.service();
  // A first snapshot, untimed, gives the datagrams the bare loop sends.
  server.Keep(true);
  service.SendSnapshot();
  if (!server.WaitForRecords(wire::kKindSnapshot, points.count(),
                             std::chrono::seconds(1))) {
    state.SkipWithError("the first snapshot did not arrive whole");
    return;
  }
  server.Keep(false);
  std::vector<std::vector<std::uint8_t>> datagrams;
  for (LoopbackServer::Arrival& a : server.TakeKept())
    datagrams.push_back(std::move(a.bytes));
  const BareSocket bare(server.port());

  // Sends with `send` and returns the nanoseconds to the last arrival.
  auto timed = [&](const std::function<void()>& send) {
    const std::uint64_t until = server.datagrams() + datagrams.size();
    const std::int64_t start = NowNs();
    send();
    if (!server.WaitForDatagrams(until, std::chrono::seconds(1))) return -1.0;
    return double(server.lastArrivalNs() - start);
  };
  double snapshotNs = 0, bareNs = 0, yieldingNs = 0;
  for (auto _ : state) {
    const double s = timed([&] { service.SendSnapshot(); });
    const double b = timed([&] {
      for (const std::vector<std::uint8_t>& d : datagrams) bare.Send(d);
    });
    // The bare loop with the snapshot's one fixed pause: the time slice
    // given up after every tenth datagram.
    const double y = timed([&] {
      for (std::size_t i = 0; i < datagrams.size(); ++i) {
        bare.Send(datagrams[i]);
        if (i % 10 == 9 && i + 1 < datagrams.size()) std::this_thread::yield();
      }
    });
    if (s < 0 || b < 0 || y < 0) {
      state.SkipWithError("datagrams were lost at the receiver");
      return;
    }
    snapshotNs += s;
    bareNs += b;
    yieldingNs += y;
  }
  const double runs = double(state.iterations());
  state.counters["datagrams"] = double(datagrams.size());
  state.counters["snapshot_ms"] = snapshotNs / runs / 1e6;
  state.counters["bare_ms"] = bareNs / runs / 1e6;
  state.counters["yielding_ms"] = yieldingNs / runs / 1e6;
  // The snapshot's rate over the bare loop's, and over the yielding one's.
  state.counters["x_bare"] = bareNs / snapshotNs;
  state.counters["x_yielding"] = yieldingNs / snapshotNs;
  state.counters["rcvbuf_MiB"] = server.receiveBufferBytes() / 1048576.0;
}
BENCHMARK(BM_Snapshot)
    ->Apply(Repeated)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pelmora::bench

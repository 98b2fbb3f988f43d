// What a host pays per UpdateItem call, and what the snapshot costs against
// a bare sendto loop of the same datagrams.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/env.h"
#include "service/link_service.h"

namespace pelmora {
namespace {

// A service with `points` discovered points, its host in a scratch
// directory without a Drivers folder (so nothing is logged to disk).
class BenchService {
 public:
  explicit BenchService(int points) {
    service_ = LinkService::Instance(*Env::Default());
    service_->points().SizeTable(kDefaultHashSize);
    PointStore& store = service_->points();
    for (int i = 0; i < points; ++i) names_.push_back(Name(i));
    for (const std::string& n : names_) store.Update(n, "0.0");
    store.Update(names_[0], "0.0");  // the first round is over
    // Every point is in the active bank already, as between two flips of a
    // busy link.
    for (const std::string& n : names_) store.Update(n, "0.0");
  }
  ~BenchService() { LinkService::DestroyInstance(); }
  LinkService& service() { return *service_; }
  const std::vector<std::string>& names() const { return names_; }

  static std::string Name(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "Station.Area%02d.Point%05d", i % 17, i);
    return name;
  }

 private:
  LinkService* service_;
  std::vector<std::string> names_;
};

BenchService* shared = nullptr;

// Known points, values of the same length as before: one lookup, no
// allocation. Threads share one service and each scans points of its own,
// as host threads scanning their own groups of points do.
void BM_UpdateItemKnownPoint(benchmark::State& state) {
  // The loop starts and ends behind a barrier: every thread sees the
  // service inside it, and none uses it after thread 0 deletes it.
  if (state.thread_index() == 0)
    shared = new BenchService(static_cast<int>(state.range(0)));
  // Thread t of n scans the t-th of n equal groups of points.
  const auto group = static_cast<std::size_t>(state.range(0) / state.threads());
  const auto first = group * static_cast<std::size_t>(state.thread_index());
  std::size_t i = 0;
  char value[16];
  for (auto _ : state) {
    const std::vector<std::string>& names = shared->names();
    const std::string& name = names[first + i++ % group];
    std::snprintf(value, sizeof value, "%zu.5", i % 1000);
    shared->service().points().Update(name, value);
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    delete shared;
    shared = nullptr;
  }
}
BENCHMARK(BM_UpdateItemKnownPoint)
    ->Arg(10000)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();

// A UDP socket bound on loopback that nobody reads: the kernel drops what
// overflows, so only the sender's cost is measured.
struct Sink {
  Sink() {
    fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
  }
  ~Sink() { ::close(fd); }
  int fd;
  std::uint16_t port;
};

void BM_Snapshot(benchmark::State& state) {
  BenchService bench(static_cast<int>(state.range(0)));
  Sink sink;
  LinkService& service = bench.service();
  service.settings().SetServerAddress("127.0.0.1");
  service.settings().SetServerPort(sink.port);
  UdpLink::OpenStep failedStep;
  OsError error;
  if (!service.link().Open(&failedStep, &error)) {
    state.SkipWithError("no socket");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(service.SendSnapshot());
  service.link().Close();
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Snapshot)->Arg(10000)->UseRealTime();

// The same datagrams, packed beforehand and sent in a bare loop: the rate
// the snapshot is measured against.
void BM_RawSendtoOfSnapshotDatagrams(benchmark::State& state) {
  std::vector<std::vector<std::uint8_t>> datagrams;
  DatagramBuffer buffer;
  const DatagramHeader header;
  for (int i = 0; i < state.range(0); ++i) {
    const std::string name = BenchService::Name(i);
    if (!buffer.Fits(name.size() + 4)) {
      buffer.Finish(header, kKindSnapshot);
      datagrams.emplace_back(buffer.bytes, buffer.bytes + buffer.length);
      buffer.Reset();
    }
    buffer.AppendPair(name, "0.0");
  }
  buffer.Finish(header, kKindSnapshot);
  datagrams.emplace_back(buffer.bytes, buffer.bytes + buffer.length);
  Sink sink;
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(sink.port);
  ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
  for (auto _ : state) {
    for (const auto& d : datagrams) {
      benchmark::DoNotOptimize(::sendto(fd, d.data(), d.size(), 0,
                                        reinterpret_cast<sockaddr*>(&to),
                                        sizeof to));
    }
  }
  ::close(fd);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RawSendtoOfSnapshotDatagrams)->Arg(10000)->UseRealTime();

}  // namespace
}  // namespace pelmora

BENCHMARK_MAIN();

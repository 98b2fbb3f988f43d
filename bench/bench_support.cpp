#include "bench_support.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace pelmora::bench {
namespace {

void Fail(const std::string& why) {
  std::fprintf(stderr, "pelmora_bench: %s\n", why.c_str());
  std::exit(1);
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  if (!file) Fail("cannot write " + path);
}

std::string ExecutableDir() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) Fail("cannot read /proc/self/exe");
  const std::string exe(path, static_cast<std::size_t>(n));
  return exe.substr(0, exe.rfind('/'));
}

void PELMORA_STDCALL IgnoreWriteCommand(const char*, const char*) {}

}  // namespace

void Repeated(benchmark::internal::Benchmark* b) {
  b->Repetitions(5)
      ->DisplayAggregatesOnly(true)
      ->ComputeStatistics("min",
                          [](const std::vector<double>& v) {
                            return *std::min_element(v.begin(), v.end());
                          })
      ->ComputeStatistics("max", [](const std::vector<double>& v) {
        return *std::max_element(v.begin(), v.end());
      });
}

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::int64_t ThreadCpuNs() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

HostPoints::HostPoints(int count) {
  char text[40];
  for (int i = 0; i < count; ++i) {
    std::snprintf(text, sizeof text, "Station%02d.Area%02d.Tag%05d",
                  i / 10000 % 100 + 1, i / 1000 % 10 + 1, i % 1000 + 1);
    names_.emplace_back(text);
  }
  for (int v = 0; v < 64; ++v) {
    std::snprintf(text, sizeof text, "%05d.%03d", (12345 + v * 7919) % 100000,
                  (678 + v * 31) % 1000);
    values_.emplace_back(text);
  }
}

std::uint32_t HashSizeFor(int points) {
  auto prime = [](std::uint32_t n) {
    for (std::uint32_t d = 2; d * d <= n; ++d)
      if (n % d == 0) return false;
    return n > 1;
  };
  std::uint32_t n = static_cast<std::uint32_t>(points);
  while (!prime(n)) ++n;
  return n;
}

LoopbackServer::LoopbackServer() {
  std::string error;
  if (!receiver_.Open("127.0.0.1", 0, &error)) Fail(error);
  thread_ = std::thread([this] { Receive(); });
}

LoopbackServer::~LoopbackServer() {
  quit_ = true;
  thread_.join();
}

std::uint64_t LoopbackServer::records(std::uint8_t kind) const {
  switch (kind) {
    case wire::kKindItem:
      return itemRecords_.load();
    case wire::kKindEvent:
      return eventRecords_.load();
    case wire::kKindSnapshot:
      return snapshotRecords_.load();
  }
  return 0;
}

void LoopbackServer::Receive() {
  std::vector<std::uint8_t> d;
  while (!quit_) {
    wire::Endpoint from;
    if (!receiver_.Receive(&d, 20, &from)) continue;
    lastSenderPort_ = from.port;
    const std::int64_t at = NowNs();
    // Records are counted by their length fields alone: the figures are
    // about pace, and what arrives is checked by the tests.
    std::uint64_t records = 0;
    for (std::size_t i = wire::kHeaderSize; i + 2 <= d.size();
         i += 2 + (d[i] | d[i + 1] << 8))
      ++records;
    if (d.size() > 8) {
      if (d[8] == wire::kKindItem) itemRecords_ += records;
      if (d[8] == wire::kKindEvent) eventRecords_ += records;
      if (d[8] == wire::kKindSnapshot) snapshotRecords_ += records;
    }
    if (keep_) {
      std::lock_guard<std::mutex> hold(keptMutex_);
      kept_.push_back({d, at});
    }
    lastArrivalNs_ = at;
    ++datagrams_;
  }
}

bool LoopbackServer::SendToPlugin(const std::vector<std::uint8_t>& datagram) {
  const std::uint16_t port = lastSenderPort_;
  return port != 0 && receiver_.SendTo(datagram.data(), datagram.size(),
                                       {0x7F000001u, port});
}

bool LoopbackServer::WaitUntil(const std::function<bool()>& reached,
                               std::chrono::milliseconds quiet) const {
  std::uint64_t seen = datagrams_;
  std::int64_t since = NowNs();
  while (!reached()) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (datagrams_ != seen) {
      seen = datagrams_;
      since = NowNs();
    } else if (NowNs() - since > quiet.count() * 1000000) {
      return false;
    }
  }
  return true;
}

bool LoopbackServer::WaitForDatagrams(std::uint64_t count,
                                      std::chrono::milliseconds quiet) const {
  return WaitUntil([&] { return datagrams_ >= count; }, quiet);
}

bool LoopbackServer::WaitForRecords(std::uint8_t kind, std::uint64_t count,
                                    std::chrono::milliseconds quiet) const {
  return WaitUntil([&] { return records(kind) >= count; }, quiet);
}

void LoopbackServer::Keep(bool on) { keep_ = on; }

std::vector<LoopbackServer::Arrival> LoopbackServer::TakeKept() {
  std::lock_guard<std::mutex> hold(keptMutex_);
  return std::move(kept_);
}

namespace {
sockaddr_in LoopbackAddress(std::uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  return to;
}
}  // namespace

BareSocket::BareSocket(std::uint16_t port)
    : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), port_(port) {
  const sockaddr_in to = LoopbackAddress(port_);
  if (::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0)
    Fail("cannot connect a UDP socket to the loopback server");
}

BareSocket::~BareSocket() { ::close(fd_); }

void BareSocket::Send(const std::vector<std::uint8_t>& datagram) const {
  // With the address, as the link sends: the same work per datagram.
  const sockaddr_in to = LoopbackAddress(port_);
  ::sendto(fd_, datagram.data(), datagram.size(), MSG_NOSIGNAL,
           reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

PluginHost& PluginHost::Instance() {
  static PluginHost host;
  return host;
}

PluginHost::PluginHost() : hostDir_(ExecutableDir()) {
  std::string error;
  if (!host::Load(PELMORA_LIBRARY, &exports_, &error)) Fail(error);
}

void PluginHost::Start(std::uint32_t hashSize, std::uint16_t serverPort,
                       const std::string& commandKey) {
  WriteText(hostDir_ + "/Module.ini",
            "[OutLink]\nHashSize=" + std::to_string(hashSize) + "\n");
  ::mkdir((hostDir_ + "/Drivers").c_str(), 0755);
  WriteText(hostDir_ + "/Drivers/Pelmora.ini",
            "[SERVERSET]\nMAC=02:00:00:00:00:01\nADDR=127.0.0.1\nPORT=" +
                std::to_string(serverPort) + "\nCOUNT=5\n" +
                (commandKey.empty() ? std::string()
                                    : "[COMMAND]\nKEY=" + commandKey + "\n"));
  exports_.InitService();
  exports_.SetWriteCallback(IgnoreWriteCommand);
}

DiscoveredPlugin::DiscoveredPlugin(const HostPoints& points,
                                   const LoopbackServer& server,
                                   benchmark::State& state,
                                   const std::string& commandKey)
    : host_(PluginHost::Instance()) {
  host_.Start(HashSizeFor(points.count()), server.port(), commandKey);
  const std::uint64_t before = server.records(wire::kKindSnapshot);
  for (int i = 0; i < points.count(); ++i)
    host_.UpdateItem(points.name(i), points.value(i, 0));
  host_.UpdateItem(points.name(0), points.value(0, 0));
  ok_ = server.WaitForRecords(
      wire::kKindSnapshot, before + static_cast<std::uint64_t>(points.count()),
      std::chrono::seconds(5));
  if (!ok_) state.SkipWithError("the snapshot did not arrive whole");
}

FloorMap::FloorMap(const HostPoints& points) {
  Reserve(static_cast<std::size_t>(points.count()));
  for (int i = 0; i < points.count(); ++i)
    Put(points.name(i), points.value(i, 0));
}

HostThreads::HostThreads(int most) : endNs_(most), cpuNs_(most) {
  for (int t = 1; t < most; ++t)
    helpers_.emplace_back([this, t] { Helper(t); });
}

HostThreads::~HostThreads() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
}

void HostThreads::RunShare(int thread) {
  const std::int64_t cpu = ThreadCpuNs();
  (*work_)(thread);
  endNs_[thread] = NowNs();
  cpuNs_[thread] = ThreadCpuNs() - cpu;
}

void HostThreads::Helper(int thread) {
  int seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> hold(mutex_);
      wake_.wait(hold, [&] { return quit_ || generation_ != seen; });
      if (quit_) return;
      seen = generation_;
      if (thread >= threads_) continue;
    }
    ++ready_;
    while (!go_.load(std::memory_order_acquire)) std::this_thread::yield();
    RunShare(thread);
    done_.fetch_add(1, std::memory_order_release);
  }
}

Elapsed HostThreads::Run(int threads,
                         const std::function<void(int thread)>& work) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    work_ = &work;
    threads_ = threads;
    ready_ = 0;
    done_ = 0;
    go_ = false;
    ++generation_;
  }
  wake_.notify_all();
  while (ready_ < threads - 1) std::this_thread::yield();
  const std::int64_t start = NowNs();
  go_.store(true, std::memory_order_release);
  RunShare(0);
  while (done_.load(std::memory_order_acquire) < threads - 1)
    std::this_thread::yield();
  Elapsed elapsed;
  for (int t = 0; t < threads; ++t) {
    elapsed.wallNs = std::max(elapsed.wallNs, double(endNs_[t] - start));
    elapsed.cpuNs += double(cpuNs_[t]);
  }
  return elapsed;
}

}  // namespace pelmora::bench

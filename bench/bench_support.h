// What every benchmark shares: the host's point list, the plug-in loaded as
// a host loads it, a loopback server that counts what arrives, host threads
// that push together, and the clocks the figures are read from.
#ifndef PELMORA_BENCH_BENCH_SUPPORT_H_
#define PELMORA_BENCH_BENCH_SUPPORT_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "benchmark/benchmark.h"
#include "library.h"
#include "datagram.h"
#include "udp_receiver.h"

namespace pelmora::bench {

// Five repetitions of `b`, shown as their mean, median, spread, min and max
// (a --benchmark_out file keeps each one): a figure that must hold in every
// run is read from min or max.
void Repeated(benchmark::internal::Benchmark* b);

// Nanoseconds of the steady clock, and of the calling thread's CPU time.
std::int64_t NowNs();
std::int64_t ThreadCpuNs();

// A host's points: names like Station01.Area03.Tag00001 (25 bytes) and
// values like 12345.678 (9 bytes). A point's value differs from one scan
// round to the next.
class HostPoints {
 public:
  explicit HostPoints(int count);
  int count() const { return static_cast<int>(names_.size()); }
  const std::string& name(int i) const { return names_[i]; }
  const char* value(int i, int round) const {
    return values_[static_cast<unsigned>(i + round) % values_.size()].c_str();
  }

 private:
  std::vector<std::string> names_;
  std::vector<std::string> values_;
};

// A HashSize for `points` points: the first prime at or above it.
std::uint32_t HashSizeFor(int points);

// The server's end of the link on 127.0.0.1: a thread receives every
// datagram into a large socket buffer (pelmora-recv's), counts datagrams
// and records of each kind, and notes when the latest arrived.
class LoopbackServer {
 public:
  LoopbackServer();
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t port() const { return receiver_.port(); }
  // Where the latest datagram came from: the plug-in's socket.
  std::uint16_t pluginPort() const { return lastSenderPort_; }
  int receiveBufferBytes() const { return receiver_.receive_buffer_bytes(); }

  std::uint64_t datagrams() const { return datagrams_.load(); }
  std::uint64_t records(std::uint8_t kind) const;
  // Steady-clock nanoseconds at which the latest datagram was read.
  std::int64_t lastArrivalNs() const { return lastArrivalNs_.load(); }
  // Sends `datagram` from the server's port to where the latest datagram
  // came from: the plug-in's link, which takes datagrams from there only.
  bool SendToPlugin(const std::vector<std::uint8_t>& datagram);

  // Waits until datagrams() reaches `count`, or until nothing has arrived
  // for `quiet`; returns whether the count was reached.
  bool WaitForDatagrams(std::uint64_t count,
                        std::chrono::milliseconds quiet) const;
  // The same for the records of one kind.
  bool WaitForRecords(std::uint8_t kind, std::uint64_t count,
                      std::chrono::milliseconds quiet) const;

  // Every datagram read while keeping is on is also kept whole, with the
  // time it was read.
  struct Arrival {
    std::vector<std::uint8_t> bytes;
    std::int64_t atNs;
  };
  void Keep(bool on);
  std::vector<Arrival> TakeKept();

 private:
  void Receive();
  bool WaitUntil(const std::function<bool()>& reached,
                 std::chrono::milliseconds quiet) const;

  wire::UdpReceiver receiver_;
  std::atomic<bool> quit_{false};
  std::atomic<std::uint64_t> datagrams_{0};
  std::atomic<std::uint64_t> itemRecords_{0};
  std::atomic<std::uint64_t> eventRecords_{0};
  std::atomic<std::uint64_t> snapshotRecords_{0};
  std::atomic<std::int64_t> lastArrivalNs_{0};
  std::atomic<std::uint16_t> lastSenderPort_{0};
  std::atomic<bool> keep_{false};
  std::mutex keptMutex_;
  std::vector<Arrival> kept_;
  std::thread thread_;
};

// A plain UDP socket connected to a loopback port, as the link's is, for
// the bare sends the plug-in's are measured against.
class BareSocket {
 public:
  explicit BareSocket(std::uint16_t port);
  ~BareSocket();
  BareSocket(const BareSocket&) = delete;
  BareSocket& operator=(const BareSocket&) = delete;
  void Send(const std::vector<std::uint8_t>& datagram) const;

 private:
  int fd_;
  std::uint16_t port_;
};

// The real plug-in (libpelmora.so) opened with dlopen and driven through
// its exports, with the host's files beside this executable: Module.ini
// (section OutLink, HashSize) and Drivers/Pelmora.ini (the server).
class PluginHost {
 public:
  // Loads the library on first use; ends the run when it cannot.
  static PluginHost& Instance();

  // Writes both files, then InitService and SetWriteCallback. A
  // `commandKey` (64 hex digits) turns signed commands on.
  void Start(std::uint32_t hashSize, std::uint16_t serverPort,
             const std::string& commandKey = std::string());
  void Stop() { exports_.UninitService(); }

  void UpdateItem(const std::string& name, const char* value) const {
    exports_.UpdateItem(name.c_str(), value);
  }
  void SendEventEx(const std::string& a, const char* b) const {
    exports_.SendEventEx(a.c_str(), b);
  }

 private:
  PluginHost();
  host::Exports exports_;
  std::string hostDir_;
};

// The plug-in started for `points`, its first round pushed (every point
// once with its round-0 value, then the first point again, which completes
// discovery), and stopped when the object goes. When the snapshot of every
// point does not reach `server`, the figures would mean nothing: `state`
// is skipped with that error.
class DiscoveredPlugin {
 public:
  DiscoveredPlugin(const HostPoints& points, const LoopbackServer& server,
                   benchmark::State& state,
                   const std::string& commandKey = std::string());
  ~DiscoveredPlugin() { host_.Stop(); }
  DiscoveredPlugin(const DiscoveredPlugin&) = delete;
  DiscoveredPlugin& operator=(const DiscoveredPlugin&) = delete;

  bool ok() const { return ok_; }
  const PluginHost& host() const { return host_; }

 private:
  PluginHost& host_;
  bool ok_;
};

// A std::mutex-guarded std::unordered_map<std::string, std::string>: the
// least a keeper of every point's last value does, the floor that the host
// calls are measured beside. Keys come as std::string, so the floor makes
// no copy of a known name. A line of its own, so that two of them side by
// side share nothing.
class alignas(64) FloorMap {
 public:
  FloorMap() = default;
  // Every point of `points` with its round-0 value, reserved for them.
  explicit FloorMap(const HostPoints& points);
  void Reserve(std::size_t points) { map_.reserve(points); }
  void Put(const std::string& name, const char* value) {
    std::lock_guard<std::mutex> hold(mutex_);
    map_[name] = value;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, std::string> map_;
};

// Wall time from the start of a piece of work to its end, and the CPU time
// the threads doing it spent.
struct Elapsed {
  double wallNs = 0;
  double cpuNs = 0;
  Elapsed& operator+=(const Elapsed& o) {
    wallNs += o.wallNs;
    cpuNs += o.cpuNs;
    return *this;
  }
};

// Host threads that scan together. Run starts `threads` of them at one
// moment (the calling thread is thread 0, the others wait between runs)
// and measures from that moment to the end of the last.
class HostThreads {
 public:
  explicit HostThreads(int most);
  ~HostThreads();
  HostThreads(const HostThreads&) = delete;
  HostThreads& operator=(const HostThreads&) = delete;

  Elapsed Run(int threads, const std::function<void(int thread)>& work);

 private:
  void Helper(int thread);
  void RunShare(int thread);

  std::mutex mutex_;
  std::condition_variable wake_;
  int generation_ = 0;
  int threads_ = 0;
  bool quit_ = false;
  const std::function<void(int)>* work_ = nullptr;
  std::atomic<int> ready_{0};
  std::atomic<int> done_{0};
  std::atomic<bool> go_{false};
  std::vector<std::int64_t> endNs_;
  std::vector<std::int64_t> cpuNs_;
  std::vector<std::thread> helpers_;
};

}  // namespace pelmora::bench

#endif  // PELMORA_BENCH_BENCH_SUPPORT_H_

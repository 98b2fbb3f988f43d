// The gateway's records per second to a real mosquitto on loopback, beside
// a bare libmosquitto publisher with the same in-flight window, both timed
// from the first send to the last message at one subscriber; and the time
// a whole snapshot takes from its first datagram to that subscriber. The
// same in Sparkplug mode, where one message carries a datagram's changes,
// with the messages and bytes each mode sends per 10,000 changed points.
#include <arpa/inet.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include <httplib.h>

#include "bench_support.h"
#include "sparkplug_b.pb.h"
#include "support/child_process.h"
#include "support/datagram_bytes.h"
#include "support/mosquitto_port.h"

namespace pelmora::bench {
namespace {

constexpr int kInFlight = 1000;
// The most a datagram may be, header included, as the plug-in fills them.
constexpr std::size_t kDatagramBytes = 1023;
constexpr std::size_t kHeaderBytes = 32;
// The station of the one-station runs, as BuildDatagram's default.
constexpr std::array<std::uint8_t, 6> kBenchMac = {0x00, 0x11, 0x22,
                                                   0x33, 0x44, 0x55};
// Counts, at one subscriber, either the messages under pelmora/ whose
// payload is the round's value, or the metrics of one kind of Sparkplug
// message, and when the last of them came; with the messages and bytes
// (topic and payload) counted, and for Sparkplug the messages themselves
// when asked, for the floor to send again.
class Counter {
 public:
  explicit Counter(int port) {
    client_ = mosquitto_new(nullptr, true, this);
    mosquitto_message_callback_set(client_, &Counter::OnMessage);
    ok_ =
        mosquitto_connect(client_, "127.0.0.1", port, 60) == MOSQ_ERR_SUCCESS &&
        mosquitto_subscribe(client_, nullptr, "pelmora/+/points/#", 0) ==
            MOSQ_ERR_SUCCESS &&
        mosquitto_subscribe(client_, nullptr, "spBv1.0/+/+/+/#", 0) ==
            MOSQ_ERR_SUCCESS &&
        mosquitto_loop_start(client_) == MOSQ_ERR_SUCCESS;
  }
  ~Counter() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  bool ok() const { return ok_; }
  // Counts from zero up to `count` messages with payload `value`.
  void Expect(const std::string& value, int count) {
    Restart(count);
    value_ = value;
    sparkplugType_.clear();
  }
  // Counts from zero up to `count` metrics of `type` messages ("DDATA").
  void ExpectMetrics(const std::string& type, int count, bool keep) {
    Restart(count);
    sparkplugType_ = "/" + type + "/";
    keep_ = keep;
  }
  // Nanoseconds (NowNs) of the last message expected, or -1 after 60 s.
  std::int64_t WaitForAll() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!arrived_.wait_for(lock, std::chrono::seconds(60),
                           [&] { return count_ >= wanted_; })) {
      return -1;
    }
    return lastNs_;
  }
  // Since the last Expect.
  std::uint64_t messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  std::uint64_t bytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }
  std::vector<std::pair<std::string, std::string>> TakeKept() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(kept_);
  }

 private:
  void Restart(int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    wanted_ = count;
    count_ = 0;
    messages_ = 0;
    bytes_ = 0;
    keep_ = false;
    kept_.clear();
  }
  // The count `message` adds; 0 for one not counted.
  int CountOf(const mosquitto_message* message) {
    if (sparkplugType_.empty()) {
      const bool match =
          value_.size() == static_cast<std::size_t>(message->payloadlen) &&
          value_.compare(0, std::string::npos,
                         static_cast<const char*>(message->payload),
                         value_.size()) == 0;
      return match ? 1 : 0;
    }
    sparkplug::Payload payload;
    if (std::strstr(message->topic, sparkplugType_.c_str()) == nullptr ||
        !payload.ParseFromArray(message->payload, message->payloadlen)) {
      return 0;
    }
    if (keep_) {
      kept_.emplace_back(
          message->topic,
          std::string(static_cast<const char*>(message->payload),
                      static_cast<std::size_t>(message->payloadlen)));
    }
    return payload.metrics_size();
  }
  static void OnMessage(mosquitto*, void* self,
                        const mosquitto_message* message) {
    auto* counter = static_cast<Counter*>(self);
    std::lock_guard<std::mutex> lock(counter->mutex_);
    const int count = counter->CountOf(message);
    if (count == 0) return;
    ++counter->messages_;
    counter->bytes_ += std::strlen(message->topic) +
                       static_cast<std::size_t>(message->payloadlen);
    const bool before = counter->count_ < counter->wanted_;
    counter->count_ += count;
    // Waking the waiting thread once, not for every message, keeps the
    // subscriber from being what the figures measure.
    if (!before || counter->count_ < counter->wanted_) return;
    counter->lastNs_ = NowNs();
    counter->arrived_.notify_all();
  }

  mosquitto* client_;
  bool ok_ = false;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::string value_;
  std::string sparkplugType_;
  int wanted_ = 0;
  int count_ = 0;
  std::uint64_t messages_ = 0;
  std::uint64_t bytes_ = 0;
  bool keep_ = false;
  std::vector<std::pair<std::string, std::string>> kept_;
  std::int64_t lastNs_ = 0;
};

// The floor: one libmosquitto client publishing the same retained messages
// with QoS 1 and the same in-flight window, as fast as the window lets it.
class BarePublisher {
 public:
  explicit BarePublisher(int port) {
    client_ = mosquitto_new(nullptr, true, this);
    mosquitto_max_inflight_messages_set(client_, kInFlight);
    ok_ =
        mosquitto_connect(client_, "127.0.0.1", port, 60) == MOSQ_ERR_SUCCESS &&
        mosquitto_loop_start(client_) == MOSQ_ERR_SUCCESS;
  }
  ~BarePublisher() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  bool ok() const { return ok_; }
  void Publish(const std::vector<std::string>& topics,
               const std::string& value) {
    for (const std::string& topic : topics) {
      mosquitto_publish(client_, nullptr, topic.c_str(),
                        static_cast<int>(value.size()), value.data(), 1, true);
    }
  }
  // As the gateway sends Sparkplug data: QoS 0, not retained.
  void PublishOnce(
      const std::vector<std::pair<std::string, std::string>>& messages) {
    for (const auto& [topic, payload] : messages) {
      mosquitto_publish(client_, nullptr, topic.c_str(),
                        static_cast<int>(payload.size()), payload.data(), 0,
                        false);
    }
  }

 private:
  mosquitto* client_;
  bool ok_ = false;
};

// A broker and a gateway of their own, a station socket and the counter.
class GatewayRig {
 public:
  // `more`: options of the gateway beyond the rig's own.
  explicit GatewayRig(const std::vector<std::string>& more = {})
      : brokerPort_(testing::FreeTcpPort()) {
    mosquitto_lib_init();
    const std::string config =
        "/tmp/pelmora-bench-mosquitto-" + std::to_string(::getpid()) + ".conf";
    std::ofstream(config) << "listener " << brokerPort_
                          << " 127.0.0.1\nallow_anonymous true\n"
                          << "log_dest none\nmax_queued_messages 0\n";
    broker_ = std::make_unique<testing::ChildProcess>(
        std::vector<std::string>{"-c", config},
        std::vector<std::string>{testing::kMosquitto});
    for (int i = 0; i < 100 && !counter_; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      auto counter = std::make_unique<Counter>(brokerPort_);
      if (counter->ok()) counter_ = std::move(counter);
    }
    ::unlink(config.c_str());
    std::vector<std::string> args = {"--port",
                                     "0",
                                     "--broker-port",
                                     std::to_string(brokerPort_),
                                     "--in-flight",
                                     std::to_string(kInFlight),
                                     "--quiet",
                                     "--stats",
                                     "3600",
                                     "--max-stations",
                                     "10"};
    args.insert(args.end(), more.begin(), more.end());
    gateway_ = std::make_unique<testing::ChildProcess>(
        args, std::vector<std::string>{PELMORA_GATEWAY_BINARY});
    const int port = gateway_->ListeningPort();
    to_.sin_family = AF_INET;
    to_.sin_port = htons(static_cast<std::uint16_t>(port));
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ok_ = counter_ != nullptr && port > 0;
  }
  ~GatewayRig() { ::close(socket_); }
  bool ok() const { return ok_; }
  pid_t gatewayPid() const { return gateway_->pid(); }
  int brokerPort() const { return brokerPort_; }
  Counter& counter() { return *counter_; }
  void Send(const testing::Bytes& bytes) {
    ::sendto(socket_, bytes.data(), bytes.size(), 0,
             reinterpret_cast<const sockaddr*>(&to_), sizeof to_);
  }

 private:
  int brokerPort_;
  std::unique_ptr<testing::ChildProcess> broker_;
  std::unique_ptr<Counter> counter_;
  std::unique_ptr<testing::ChildProcess> gateway_;
  int socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to_{};
  bool ok_ = false;
};

// `points` records of `kind` with one value, in full datagrams, and the
// topics they land on.
std::vector<testing::Bytes> Datagrams(
    std::uint8_t kind, int points, const std::string& value,
    const std::array<std::uint8_t, 6>& mac = kBenchMac) {
  std::vector<testing::Bytes> datagrams;
  std::vector<std::string> records;
  std::size_t size = kHeaderBytes;
  for (int i = 0; i < points; ++i) {
    std::string record =
        "Station01.Area03.Tag" + std::to_string(100000 + i) + "|" + value;
    if (size + 2 + record.size() > kDatagramBytes) {
      datagrams.push_back(testing::BuildDatagram(kind, records, mac));
      records.clear();
      size = kHeaderBytes;
    }
    size += 2 + record.size();
    records.push_back(std::move(record));
  }
  datagrams.push_back(testing::BuildDatagram(kind, records, mac));
  return datagrams;
}

std::vector<std::string> Topics(int points) {
  std::vector<std::string> topics;
  for (int i = 0; i < points; ++i) {
    topics.push_back("pelmora/00-11-22-33-44-55/points/Station01.Area03.Tag" +
                     std::to_string(100000 + i));
  }
  return topics;
}

// What the iterations of one run took and sent, the gateway's phase for the
// messages and bytes.
struct Totals {
  double gatewayNs = 0, bareNs = 0, messages = 0, bytes = 0;
};

void Report(benchmark::State& state, int points, const Totals& totals) {
  const double n = double(state.iterations());
  state.counters["gateway_records_per_s"] =
      points / (totals.gatewayNs / n / 1e9);
  state.counters["floor_records_per_s"] = points / (totals.bareNs / n / 1e9);
  state.counters["gateway_ms"] = totals.gatewayNs / n / 1e6;
  state.counters["floor_ms"] = totals.bareNs / n / 1e6;
  state.counters["ratio_to_floor"] = totals.bareNs / totals.gatewayNs;
  state.counters["messages_per_10k_points"] =
      totals.messages / n / points * 10000;
  state.counters["bytes_per_10k_points"] = totals.bytes / n / points * 10000;
}

// Each iteration sends every point with a new value through the gateway,
// as item datagrams or as one snapshot, then publishes the same messages
// through the bare client; both timed to the last arrival.
void GatewayBeside(benchmark::State& state, std::uint8_t kind,
                   const std::vector<std::string>& more = {}) {
  const int points = static_cast<int>(state.range(0));
  GatewayRig rig(more);
  if (!rig.ok()) {
    state.SkipWithError("no broker or gateway (mosquitto installed?)");
    return;
  }
  BarePublisher bare(rig.brokerPort());
  if (!bare.ok()) {
    state.SkipWithError("the bare publisher did not connect");
    return;
  }
  const std::vector<std::string> topics = Topics(points);
  Totals totals;
  int round = 0;
  for (auto _ : state) {
    const std::string value = std::to_string(++round) + ".5";
    const std::vector<testing::Bytes> datagrams =
        Datagrams(kind, points, value);
    rig.counter().Expect(value, points);
    const std::int64_t start = NowNs();
    for (const testing::Bytes& d : datagrams) rig.Send(d);
    const std::int64_t end = rig.counter().WaitForAll();
    totals.messages += double(rig.counter().messages());
    totals.bytes += double(rig.counter().bytes());
    const std::string floorValue = value + "f";
    rig.counter().Expect(floorValue, points);
    const std::int64_t floorStart = NowNs();
    bare.Publish(topics, floorValue);
    const std::int64_t floorEnd = rig.counter().WaitForAll();
    if (end < 0 || floorEnd < 0) {
      state.SkipWithError("not every message reached the subscriber");
      return;
    }
    totals.gatewayNs += double(end - start);
    totals.bareNs += double(floorEnd - floorStart);
    state.SetIterationTime(double(end - start) / 1e9);
  }
  Report(state, points, totals);
}

// The datagrams of `stations` stations with `points` points each, the
// stations' datagrams interleaved as many stations send at once.
std::vector<testing::Bytes> SiteDatagrams(std::uint8_t kind, int stations,
                                          int points,
                                          const std::string& value) {
  std::vector<std::vector<testing::Bytes>> each;
  for (int s = 0; s < stations; ++s) {
    std::array<std::uint8_t, 6> mac = kBenchMac;
    mac[4] = static_cast<std::uint8_t>(s >> 8);
    mac[5] = static_cast<std::uint8_t>(s);
    each.push_back(Datagrams(kind, points, value, mac));
  }
  std::vector<testing::Bytes> all;
  for (std::size_t i = 0; i < each.front().size(); ++i)
    for (auto& station : each) all.push_back(std::move(station[i]));
  return all;
}

// Sparkplug mode: each station is born from one snapshot first; then each
// iteration changes every point of every station by item datagrams, timed
// to the last metric at the subscriber, and the floor sends the very DDATA
// messages the gateway sent, QoS 0 as it does, timed the same way.
void BM_GatewaySparkplugItems(benchmark::State& state) {
  const int stations = static_cast<int>(state.range(0));
  const int perStation = static_cast<int>(state.range(1));
  const int points = stations * perStation;
  // The node's bdSeq kept in a folder of the run's own, not the user's.
  GatewayRig rig({"--sparkplug", "--group", "Bench", "--edge-node", "Gw",
                  "--settle", "200", "--max-stations", std::to_string(stations),
                  "--state-dir",
                  "/tmp/pelmora-bench-state-" + std::to_string(::getpid())});
  BarePublisher bare(rig.brokerPort());
  if (!rig.ok() || !bare.ok()) {
    state.SkipWithError("no broker or gateway (mosquitto installed?)");
    return;
  }
  // The birth's metrics: every point and the events.
  Counter& metrics = rig.counter();
  metrics.ExpectMetrics("DBIRTH", points + stations, false);
  for (const testing::Bytes& d : SiteDatagrams(0xFF, stations, perStation, "0"))
    rig.Send(d);
  if (metrics.WaitForAll() < 0) {
    state.SkipWithError("the station was not born");
    return;
  }
  Totals totals;
  int round = 0;
  for (auto _ : state) {
    const std::vector<testing::Bytes> datagrams = SiteDatagrams(
        0x01, stations, perStation, std::to_string(++round) + ".5");
    metrics.ExpectMetrics("DDATA", points, true);
    const std::int64_t start = NowNs();
    for (const testing::Bytes& d : datagrams) rig.Send(d);
    const std::int64_t end = metrics.WaitForAll();
    totals.messages += double(metrics.messages());
    totals.bytes += double(metrics.bytes());
    const auto sent = metrics.TakeKept();
    metrics.ExpectMetrics("DDATA", points, false);
    const std::int64_t floorStart = NowNs();
    bare.PublishOnce(sent);
    const std::int64_t floorEnd = metrics.WaitForAll();
    if (end < 0 || floorEnd < 0) {
      state.SkipWithError("not every metric reached the subscriber");
      return;
    }
    totals.gatewayNs += double(end - start);
    totals.bareNs += double(floorEnd - floorStart);
    state.SetIterationTime(double(end - start) / 1e9);
  }
  Report(state, points, totals);
}

void BM_GatewayItems(benchmark::State& state) { GatewayBeside(state, 0x01); }
void BM_GatewaySnapshot(benchmark::State& state) { GatewayBeside(state, 0xFF); }
// The same items while the gateway keeps the operator's page's model too.
void BM_GatewayItemsWithPage(benchmark::State& state) {
  GatewayBeside(state, 0x01, {"--http", "0"});
}

// A kilobyte figure of the gateway's /proc status ("VmRSS", "VmHWM"), in
// MB; -1 when it cannot be read.
double GatewayMemoryMb(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0)
      return std::stod(line.substr(field.size() + 1)) / 1024.0;
  }
  return -1;
}

// The gateway's memory as operators open its 100,000-point station on the
// page, again and again, a few at once: resident after the points came
// (the floor), after 20 opens, and at its peak. Each open reads the whole
// answer, as a browser does.
void BM_PagePointsMemory(benchmark::State& state) {
  constexpr int kPoints = 100000;
  constexpr int kOpens = 20;
  const int atOnce = static_cast<int>(state.range(0));
  const int http = testing::FreeTcpPort();
  GatewayRig rig({"--http", std::to_string(http)});
  if (!rig.ok()) {
    state.SkipWithError("no broker or gateway (mosquitto installed?)");
    return;
  }
  rig.counter().Expect("1", kPoints);
  for (const testing::Bytes& d : Datagrams(0x01, kPoints, "1")) rig.Send(d);
  if (rig.counter().WaitForAll() < 0) {
    state.SkipWithError("the points did not reach the broker");
    return;
  }
  const double loaded = GatewayMemoryMb(rig.gatewayPid(), "VmRSS");
  double bytes = 0;
  for (auto _ : state) {
    const std::int64_t start = NowNs();
    for (int done = 0; done < kOpens; done += atOnce) {
      std::vector<std::thread> opens;
      for (int i = 0; i < atOnce; ++i) {
        opens.emplace_back([&bytes, http, i] {
          httplib::Client page("127.0.0.1", http);
          page.set_read_timeout(60, 0);
          const auto answer =
              page.Get("/api/stations/00-11-22-33-44-55/points");
          if (answer && i == 0) bytes = double(answer->body.size());
        });
      }
      for (std::thread& open : opens) open.join();
    }
    state.SetIterationTime(double(NowNs() - start) / 1e9 / kOpens);
  }
  state.counters["rss_loaded_mb"] = loaded;
  state.counters["rss_after_opens_mb"] =
      GatewayMemoryMb(rig.gatewayPid(), "VmRSS");
  state.counters["rss_peak_mb"] = GatewayMemoryMb(rig.gatewayPid(), "VmHWM");
  state.counters["answer_mb"] = bytes / 1e6;
}

BENCHMARK(BM_PagePointsMemory)
    ->Arg(1)
    ->Arg(5)
    ->Iterations(1)
    ->Repetitions(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GatewayItems)
    ->Arg(100000)
    ->Iterations(1)
    ->Repetitions(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GatewaySparkplugItems)
    ->Args({1, 100000})
    ->Args({1000, 100})
    ->Iterations(1)
    ->Repetitions(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GatewaySnapshot)
    ->Arg(100000)
    ->Iterations(1)
    ->Repetitions(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GatewayItemsWithPage)
    ->Arg(100000)
    ->Iterations(1)
    ->Repetitions(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pelmora::bench

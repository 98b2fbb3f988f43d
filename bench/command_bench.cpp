// Signed writes to a keyed plug-in, sent and resent as the gateway sends
// them, while its link is flooded with unsigned datagrams from the server's
// address or while forged ICMP port unreachables arrive for its socket; and
// a keyless plug-in's events under the same ICMP. Each figure is measured
// beside the same run without the flood (rate 0), the quiet figure. They
// take real seconds each: pelmora_bench runs them with --commands.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "bench_support.h"
#include "platform/env.h"

namespace pelmora::bench {
namespace {

constexpr char kKeyText[] =
    "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
// What the gateway does: a write resent after 250 ms, the pause doubling
// to 4 s, at most 8 sends; valid for 5 s on the station's clock.
constexpr int kFirstPauseMs = 250;
constexpr int kLongestPauseMs = 4000;
constexpr int kMostSends = 8;
constexpr std::uint32_t kValidityMs = 5000;
constexpr int kWritesPerRun = 20;

using Bytes = std::vector<std::uint8_t>;

void PutU32(Bytes* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(std::uint8_t(value >> 8 * i));
}

std::uint32_t U32At(const Bytes& bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         std::uint32_t(bytes[at + 3]) << 24;
}

// Sends `perSecond` of something from a thread of its own, a millisecond's
// share at a time, until it goes.
class Paced {
 public:
  Paced(int perSecond, std::function<bool()> send)
      : send_(std::move(send)),
        thread_([this, perSecond] { Run(perSecond); }) {}
  ~Paced() {
    quit_ = true;
    thread_.join();
  }
  std::uint64_t sent() const { return sent_; }
  double perSecondReached() const {
    const std::int64_t ns = endNs_ - startNs_;
    return ns > 0 ? double(sent_) * 1e9 / double(ns) : 0;
  }

 private:
  void Run(int perSecond) {
    if (perSecond == 0) return;
    startNs_ = NowNs();
    auto next = std::chrono::steady_clock::now();
    double owed = 0;
    while (!quit_) {
      next += std::chrono::milliseconds(1);
      std::this_thread::sleep_until(next);
      for (owed += perSecond / 1000.0; owed >= 1; owed -= 1)
        if (send_()) ++sent_;
      endNs_ = NowNs();
    }
  }

  std::function<bool()> send_;
  std::atomic<bool> quit_{false};
  std::atomic<std::uint64_t> sent_{0};
  std::atomic<std::int64_t> startNs_{0}, endNs_{0};
  std::thread thread_;
};

// The kernel's count of datagrams dropped for want of room at the
// plug-in's socket (127.0.0.1:`port`), from /proc/net/udp; nothing when the
// socket is not listed.
std::optional<std::uint64_t> SocketDrops(std::uint16_t port) {
  std::ifstream table("/proc/net/udp");
  std::string line;
  char local[32];
  std::snprintf(local, sizeof local, "0100007F:%04X", port);
  while (std::getline(table, line)) {
    if (line.find(local) == std::string::npos) continue;
    std::istringstream fields(line);
    std::string field, last;
    while (fields >> field) last = field;
    return std::stoull(last);
  }
  return std::nullopt;
}

// Forged ICMP port unreachables, each saying that the server refused a
// datagram of the plug-in's socket: what anyone on the path can send. Needs
// a raw socket (root, or CAP_NET_RAW).
class IcmpForger {
 public:
  IcmpForger(std::uint16_t pluginPort, std::uint16_t serverPort)
      : fd_(::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP)) {
    // ICMP type 3 code 3, then the refused datagram's IPv4 header and the
    // first 8 bytes of its UDP header, as a host that refused it returns
    // them.
    packet_ = {3, 3, 0, 0, 0, 0, 0, 0};
    const std::uint8_t ip[20] = {0x45, 0, 0,   60, 0, 0, 0x40, 0, 64, 17,
                                 0,    0, 127, 0,  0, 1, 127,  0, 0,  1};
    packet_.insert(packet_.end(), ip, ip + 20);
    for (const std::uint16_t port : {pluginPort, serverPort}) {
      packet_.push_back(std::uint8_t(port >> 8));
      packet_.push_back(std::uint8_t(port));
    }
    packet_.insert(packet_.end(), {0, 40, 0, 0});
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < packet_.size(); i += 2)
      sum += packet_[i] << 8 | packet_[i + 1];
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    packet_[2] = std::uint8_t(~sum >> 8);
    packet_[3] = std::uint8_t(~sum);
  }
  ~IcmpForger() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  bool Send() const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::sendto(fd_, packet_.data(), packet_.size(), 0,
                    reinterpret_cast<const sockaddr*>(&to), sizeof to) > 0;
  }

 private:
  int fd_;
  Bytes packet_;
};

// The server's side of signed commands against the plug-in's session, read
// from the replies the loopback server keeps.
class CommandClient {
 public:
  explicit CommandClient(LoopbackServer& server) : server_(server) {}

  // The session's opening reply: its nonce and clock.
  bool Open() {
    const std::int64_t until = NowNs() + 5'000'000'000;
    while (NowNs() < until) {
      for (const Reply& reply : TakeReplies()) {
        if (reply.bytes[44] != 0x00) continue;
        nonce_.assign(reply.bytes.begin() + 32, reply.bytes.begin() + 40);
        Learn(reply);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
  }

  // Milliseconds from a write's first send to the station's first answer
  // (queued: the command thread had it) and to its delivery (the host's
  // configuration thread, which looks every 300 ms, had it); -1 for none.
  struct Answered {
    double queuedMs = -1;
    double deliveredMs = -1;
  };

  // One write of the next sequence, resent until the station says it was
  // delivered or refused it, or the most sends are spent.
  Answered Write() {
    const std::int64_t start = NowNs();
    const std::uint32_t clockNow =
        clock_ + std::uint32_t((start - clockAtNs_) / 1000000);
    const Bytes command = Seal(++sequence_, clockNow + kValidityMs);
    const Bytes answers(command.end() - 32, command.end() - 16);
    int sends = 0;
    int pauseMs = kFirstPauseMs;
    std::int64_t nextSendNs = start;
    Answered answered;
    for (;;) {
      const std::int64_t now = NowNs();
      if (now >= nextSendNs) {
        if (sends == kMostSends) return answered;
        server_.SendToPlugin(command);
        ++sends;
        nextSendNs = now + std::int64_t(pauseMs) * 1000000;
        pauseMs = std::min(pauseMs * 2, kLongestPauseMs);
      }
      for (const Reply& reply : TakeReplies()) {
        if (!std::equal(answers.begin(), answers.end(),
                        reply.bytes.begin() + 46))
          continue;
        Learn(reply);
        const double ms = double(reply.atNs - start) / 1e6;
        if (answered.queuedMs < 0) answered.queuedMs = ms;
        if (reply.bytes[44] == 0x02) {
          answered.deliveredMs = ms;
          return answered;
        }
        if (reply.bytes[44] == 0x03) return answered;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }

 private:
  struct Reply {
    Bytes bytes;
    std::int64_t atNs;
  };

  std::vector<Reply> TakeReplies() {
    std::vector<Reply> replies;
    for (LoopbackServer::Arrival& a : server_.TakeKept())
      if (a.bytes.size() == 102 && a.bytes[8] == 0x04)
        replies.push_back({std::move(a.bytes), a.atNs});
    return replies;
  }

  void Learn(const Reply& reply) {
    clock_ = U32At(reply.bytes, 62);
    clockAtNs_ = reply.atNs;
  }

  Bytes Seal(std::uint32_t sequence, std::uint32_t notAfter) const {
    Bytes bytes = {0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x01,
                   0x03, 0xFF, 0xFF, 0xFF, 0,    0,    0,    0,
                   0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    bytes.resize(32, 0xFF);
    bytes.insert(bytes.end(), nonce_.begin(), nonce_.end());
    PutU32(&bytes, sequence);
    PutU32(&bytes, notAfter);
    bytes.push_back(0x01);
    for (const std::string text : {"SP1", "42.5"}) {
      bytes.push_back(std::uint8_t(text.size()));
      bytes.push_back(0);
      bytes.insert(bytes.end(), text.begin(), text.end());
    }
    bytes[12] = std::uint8_t(bytes.size());  // + 32 signature - 32 header
    std::uint8_t key[32];
    for (int i = 0; i < 32; ++i)
      key[i] = std::uint8_t(std::stoi(std::string(kKeyText + 2 * i, 2), 0, 16));
    std::uint8_t mac[32];
    Env::Default()->HmacSha256(key, sizeof key, bytes.data(), bytes.size(),
                               mac);
    bytes.insert(bytes.end(), mac, mac + 32);
    return bytes;
  }

  LoopbackServer& server_;
  Bytes nonce_;
  std::uint32_t clock_ = 0;
  std::int64_t clockAtNs_ = 0;
  std::uint32_t sequence_ = 0;
};

// Writes one after another, as a gateway sends them, while `load` runs;
// the figures of one run.
void CountWrites(benchmark::State& state, CommandClient& client,
                 const std::function<double()>& loadPerSecond) {
  std::vector<double> queued, delivered;
  int undelivered = 0;
  for (auto _ : state) {
    for (int i = 0; i < kWritesPerRun; ++i) {
      const CommandClient::Answered a = client.Write();
      if (a.queuedMs >= 0) queued.push_back(a.queuedMs);
      if (a.deliveredMs >= 0) {
        delivered.push_back(a.deliveredMs);
      } else {
        ++undelivered;
      }
    }
  }
  const auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
  };
  const auto most = [](const std::vector<double>& v) {
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
  };
  state.counters["undelivered"] = undelivered;
  state.counters["queued_p50_ms"] = median(queued);
  state.counters["queued_max_ms"] = most(queued);
  state.counters["delivered_p50_ms"] = median(delivered);
  state.counters["delivered_max_ms"] = most(delivered);
  state.counters["load_per_s"] = loadPerSecond();
}

// Unsigned datagrams from the server's address at `rate` a second: item
// datagrams of the station, 88 bytes, which the command thread must read
// to find a command among them.
void BM_WritesUnderUnsignedFlood(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const HostPoints points(100);
  LoopbackServer server;
  server.Keep(true);
  const DiscoveredPlugin discovered(points, server, state, kKeyText);
  if (!discovered.ok()) return;
  CommandClient client(server);
  if (!client.Open()) {
    state.SkipWithError("no opening reply");
    return;
  }
  Bytes junk = {0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x01,
                0x01, 0xFF, 0xFF, 0xFF, 56,   0,    0,    0,
                0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  junk.resize(32, 0xFF);
  junk.push_back(54);
  junk.push_back(0);
  junk.resize(88, 'x');
  // The plug-in's socket is the one the latest datagram came from.
  const std::uint16_t pluginPort = server.pluginPort();
  const std::optional<std::uint64_t> dropsBefore = SocketDrops(pluginPort);
  if (!dropsBefore) {
    state.SkipWithError("the plug-in's socket is not in /proc/net/udp");
    return;
  }
  Paced flood(rate, [&] { return server.SendToPlugin(junk); });
  CountWrites(state, client, [&] { return flood.perSecondReached(); });
  const std::uint64_t sent = flood.sent();
  const std::uint64_t drops =
      SocketDrops(pluginPort).value_or(*dropsBefore) - *dropsBefore;
  state.counters["dropped_pct"] =
      sent == 0 ? 0 : 100.0 * double(drops) / double(sent);
}

void BM_WritesUnderForgedIcmp(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  const HostPoints points(100);
  LoopbackServer server;
  server.Keep(true);
  const DiscoveredPlugin discovered(points, server, state, kKeyText);
  if (!discovered.ok()) return;
  CommandClient client(server);
  if (!client.Open()) {
    state.SkipWithError("no opening reply");
    return;
  }
  const IcmpForger forger(server.pluginPort(), server.port());
  if (!forger.ok()) {
    state.SkipWithError("no raw socket (root or CAP_NET_RAW)");
    return;
  }
  Paced icmp(rate, [&] { return forger.Send(); });
  CountWrites(state, client, [&] { return icmp.perSecondReached(); });
}

// A station without a key under the same ICMP: its events, each of which
// must arrive, pushed 2,000 a second for a second.
void BM_EventsUnderForgedIcmp(benchmark::State& state) {
  const int rate = static_cast<int>(state.range(0));
  constexpr int kEvents = 2000;
  const HostPoints points(100);
  LoopbackServer server;
  const DiscoveredPlugin discovered(points, server, state);
  if (!discovered.ok()) return;
  const IcmpForger forger(server.pluginPort(), server.port());
  if (!forger.ok()) {
    state.SkipWithError("no raw socket (root or CAP_NET_RAW)");
    return;
  }
  Paced icmp(rate, [&] { return forger.Send(); });
  double delivered = 0;
  for (auto _ : state) {
    const std::uint64_t before = server.records(wire::kKindEvent);
    auto next = std::chrono::steady_clock::now();
    for (int i = 0; i < kEvents; ++i) {
      next += std::chrono::microseconds(500);
      std::this_thread::sleep_until(next);
      discovered.host().SendEventEx("bench", points.value(i, 0));
    }
    server.WaitForRecords(wire::kKindEvent, before + kEvents,
                          std::chrono::seconds(3));
    delivered = double(server.records(wire::kKindEvent) - before);
  }
  state.counters["delivered_pct"] = 100.0 * delivered / kEvents;
  state.counters["load_per_s"] = icmp.perSecondReached();
}

}  // namespace

void RegisterCommandBenchmarks() {
  benchmark::RegisterBenchmark("BM_WritesUnderUnsignedFlood",
                               BM_WritesUnderUnsignedFlood)
      ->Apply(Repeated)
      ->Iterations(1)
      ->Arg(0)
      ->Arg(6000)
      ->Arg(14000)
      ->Arg(34000)
      ->Arg(44000)
      ->Arg(90000)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_WritesUnderForgedIcmp",
                               BM_WritesUnderForgedIcmp)
      ->Apply(Repeated)
      ->Iterations(1)
      ->Arg(0)
      ->Arg(200)
      ->Arg(2000)
      ->Arg(20000)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_EventsUnderForgedIcmp",
                               BM_EventsUnderForgedIcmp)
      ->Apply(Repeated)
      ->Iterations(1)
      ->Arg(0)
      ->Arg(200)
      ->Arg(2000)
      ->Unit(benchmark::kMillisecond);
}

}  // namespace pelmora::bench

// The operator's page serving a control room: the JSON's answer time while
// 16 or 200 pages hold their streams open, beside the same server with
// none open (the floor), and how long one change takes to reach every
// open page. The server runs in this process on loopback, as the gateway
// runs it, over a station of 1,000 points.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "site_http.h"
#include "site_view.h"
#include "station_table.h"

namespace pelmora::bench {
namespace {

constexpr int kAsks = 20;

int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) !=
      0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads from `fd` until `marker` came; false on a close or 10 s of silence.
bool ReadUntil(int fd, const std::string& marker, std::string* seen) {
  pollfd ready{fd, POLLIN, 0};
  char buffer[8192];
  while (seen->find(marker) == std::string::npos) {
    if (::poll(&ready, 1, 10000) != 1) return false;
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return false;
    seen->append(buffer, static_cast<std::size_t>(got));
  }
  return true;
}

// Milliseconds each of kAsks requests for the station list took, sorted.
std::vector<double> AskStations(int port) {
  const std::string request =
      "GET /api/stations HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
      "\r\n\r\n";
  std::vector<double> took;
  for (int i = 0; i < kAsks; ++i) {
    const std::int64_t start = NowNs();
    const int fd = Connect(port);
    std::string answer;
    if (fd < 0 || ::send(fd, request.data(), request.size(), 0) < 0 ||
        !ReadUntil(fd, "]}", &answer)) {
      took.push_back(1e9);
    } else {
      took.push_back(double(NowNs() - start) / 1e6);
    }
    if (fd >= 0) ::close(fd);
  }
  std::sort(took.begin(), took.end());
  return took;
}

// The streams the server counts open.
int OpenStreams(int port) {
  const std::string request =
      "GET /api/http HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
      "\r\n\r\n";
  const int fd = Connect(port);
  std::string answer;
  const bool read = fd >= 0 &&
                    ::send(fd, request.data(), request.size(), 0) >= 0 &&
                    ReadUntil(fd, "}", &answer);
  if (fd >= 0) ::close(fd);
  const std::size_t at = answer.find("\"streams\":");
  return read && at != std::string::npos ? std::atoi(answer.c_str() + at + 10)
                                         : -1;
}

int ProcessThreads() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
  return -1;
}

void BM_PageStreams(benchmark::State& state) {
  const int pages = static_cast<int>(state.range(0));
  gateway::SiteView view;
  gateway::StationTable table({});
  view.Watch(&table);
  const wire::Endpoint from{0x7F000001, 4000};
  std::vector<std::string> records;
  for (int i = 0; i < 1000; ++i)
    records.push_back("Station01.Area03.Tag" + std::to_string(10000 + i) +
                      "|1");
  table.Apply({0x01, {2, 0, 0, 0, 0, 1}, records}, from,
              gateway::Moment::Now());
  gateway::HttpOptions options;
  options.port = 0;
  options.streamsPerClient = options.maxStreams;
  gateway::SiteHttp http(view, options);
  std::string error;
  if (!http.Start(&error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const std::string stream = "GET /api/stream HTTP/1.1\r\nHost: 127.0.0.1:" +
                             std::to_string(http.port()) + "\r\n\r\n";
  double apiMs = 0, apiMaxMs = 0, floorMs = 0, fanoutMs = 0;
  int threads = 0;
  int round = 0;
  for (auto _ : state) {
    const std::vector<double> floor = AskStations(http.port());
    std::vector<int> open;
    for (int i = 0; i < pages; ++i) {
      const int fd = Connect(http.port());
      std::string first;
      if (fd < 0 || ::send(fd, stream.data(), stream.size(), 0) < 0 ||
          !ReadUntil(fd, "retry: 1000", &first)) {
        state.SkipWithError("a stream did not open");
        return;
      }
      open.push_back(fd);
    }
    const std::vector<double> busy = AskStations(http.port());
    // One change, to every page.
    const std::string value = std::to_string(++round) + "|x";
    const std::int64_t start = NowNs();
    table.Apply({0x01,
                 {2, 0, 0, 0, 0, 1},
                 {"Station01.Area03.Tag10000|" + std::to_string(round) + "x"}},
                from, gateway::Moment::Now());
    for (const int fd : open) {
      std::string seen;
      if (!ReadUntil(fd, "event: point", &seen)) {
        state.SkipWithError("a page missed the change");
        return;
      }
    }
    const std::int64_t end = NowNs();
    threads = ProcessThreads();
    for (const int fd : open) ::close(fd);
    // The next iteration starts once the server has seen every page go.
    state.PauseTiming();
    for (int i = 0; i < 100 && OpenStreams(http.port()) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    state.ResumeTiming();
    state.SetIterationTime(double(end - start) / 1e9);
    floorMs += floor[kAsks / 2];
    apiMs += busy[kAsks / 2];
    apiMaxMs = std::max(apiMaxMs, busy.back());
    fanoutMs += double(end - start) / 1e6;
  }
  const double n = double(state.iterations());
  state.counters["api_ms"] = apiMs / n;
  state.counters["api_max_ms"] = apiMaxMs;
  state.counters["api_floor_ms"] = floorMs / n;
  state.counters["fanout_ms"] = fanoutMs / n;
  state.counters["threads"] = threads;
}

BENCHMARK(BM_PageStreams)
    ->Arg(16)
    ->Arg(200)
    ->Iterations(3)
    ->Repetitions(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace pelmora::bench

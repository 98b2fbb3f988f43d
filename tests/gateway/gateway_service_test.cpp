// The gateway as a service manager and a monitoring system see it: the
// real gateway told where a manager listens (a notification socket of the
// test's own) and scraped for its metrics during a run with a real broker
// and real datagrams, the text read by a parser nobody here wrote.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "host_run.h"
#include "loopback_broker.h"
#include "support/child_process.h"
#include "support/mosquitto_port.h"
#include "support/service_fixture.h"
#include "support/wine_target.h"

namespace pelmora::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

// A notification socket as a service manager keeps one: each datagram a
// message of NAME=VALUE lines.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path)
      : path_(path), fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
        << std::strerror(errno);
  }
  ~NotifySocket() { ::close(fd_); }

  // The next message within `ms`; empty when none came.
  std::string Next(int ms) {
    pollfd wait{fd_, POLLIN, 0};
    if (::poll(&wait, 1, ms) <= 0) return "";
    char message[4096];
    const ssize_t got = ::recv(fd_, message, sizeof message, 0);
    return got > 0 ? std::string(message, static_cast<std::size_t>(got)) : "";
  }
  // The messages that hold `line` among those arriving within `window`.
  int Count(const std::string& line, Clock::duration window) {
    int count = 0;
    const auto end = Clock::now() + window;
    while (Clock::now() < end) {
      const auto left =
          std::chrono::duration_cast<milliseconds>(end - Clock::now());
      if (HasLine(Next(static_cast<int>(left.count()) + 1), line)) ++count;
    }
    return count;
  }
  // Waits up to 20 s for a message holding `line`; that message, or empty.
  std::string Await(const std::string& line) {
    const auto end = Clock::now() + seconds(20);
    while (Clock::now() < end) {
      std::string message = Next(1000);
      if (HasLine(message, line)) return message;
    }
    return "";
  }
  const std::string& path() const { return path_; }

  static bool HasLine(const std::string& message, const std::string& line) {
    std::istringstream lines(message);
    for (std::string each; std::getline(lines, each);)
      if (each == line) return true;
    return false;
  }

 private:
  std::string path_;
  int fd_;
};

// The gateway run as a manager runs it: told the socket and, when given,
// the watchdog's interval.
std::unique_ptr<ChildProcess> StartManaged(const NotifySocket& manager,
                                           int brokerPort,
                                           const std::string& watchdogUsec) {
  std::vector<std::string> program = {"/usr/bin/env",
                                      "NOTIFY_SOCKET=" + manager.path()};
  if (!watchdogUsec.empty()) program.push_back("WATCHDOG_USEC=" + watchdogUsec);
  program.push_back(PELMORA_GATEWAY_BINARY);
  return std::make_unique<ChildProcess>(
      std::vector<std::string>{"--port", "0", "--broker-port",
                               std::to_string(brokerPort), "--quiet",
                               "--reconnect-max", "1"},
      program);
}

// The UDP port that READY's status names ("UDP 127.0.0.1:PORT, ..."); 0
// when it names none.
int StatusPort(const std::string& message) {
  std::smatch port;
  return std::regex_search(message, port,
                           std::regex("STATUS=UDP 127\\.0\\.0\\.1:([0-9]+),"))
             ? std::stoi(port[1])
             : 0;
}

// Whether the UDP port is taken on loopback.
bool UdpPortTaken(int port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool taken =
      ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
      errno == EADDRINUSE;
  ::close(fd);
  return taken;
}

// Waits up to 10 s for the process to be stopped by a signal.
bool Stopped(pid_t pid) {
  for (int i = 0; i < 200; ++i) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t end = stat.rfind(')');
    if (end != std::string::npos && stat.compare(end + 1, 3, " T ") == 0)
      return true;
    std::this_thread::sleep_for(milliseconds(50));
  }
  return false;
}

TEST(GatewayService,
     ToldReadyOnceListeningAndTheBrokerTriedThenBeatsWhileItsLoopTurns) {
  if (!std::filesystem::exists(kMosquitto))
    GTEST_SKIP() << "no mosquitto broker here (scripts/setup.sh installs it)";
  Broker broker;
  TempDir dir;
  NotifySocket manager(dir.path() + "/notify");
  // A beat every half second.
  auto gateway = StartManaged(manager, broker.port(), "1000000");

  const std::string ready = manager.Await("READY=1");
  ASSERT_FALSE(ready.empty()) << gateway->ReadErrors();
  const int port = StatusPort(ready);
  EXPECT_TRUE(UdpPortTaken(port)) << ready;
  EXPECT_NE(ready.find(", broker up, 0 stations (0 online)"), std::string::npos)
      << ready;

  // Guards, not timings: twelve beats are due in six seconds, six if they
  // came a whole interval apart, more than fourteen if they came faster
  // than asked.
  const int beats = manager.Count("WATCHDOG=1", seconds(6));
  EXPECT_GE(beats, 8);
  EXPECT_LE(beats, 14);

  // A loop that does not turn sends none.
  gateway->Signal(SIGSTOP);
  ASSERT_TRUE(Stopped(gateway->pid()));
  while (!manager.Next(0).empty()) {
  }
  EXPECT_EQ(manager.Count("WATCHDOG=1", seconds(2)), 0);
  gateway->Signal(SIGCONT);
  EXPECT_FALSE(manager.Await("WATCHDOG=1").empty());

  gateway->Signal(SIGTERM);
  EXPECT_FALSE(manager.Await("STOPPING=1").empty());
  EXPECT_EQ(gateway->ExitStatus(), 0);
}

TEST(GatewayService, ReadyWithTheBrokerDownOnceItWasTried) {
  TempDir dir;
  NotifySocket manager(dir.path() + "/notify");
  // Nothing listens there: the first attempt is refused at once.
  auto gateway = StartManaged(manager, FreeTcpPort(), "");
  const std::string ready = manager.Await("READY=1");
  ASSERT_FALSE(ready.empty()) << gateway->ReadErrors();
  EXPECT_TRUE(UdpPortTaken(StatusPort(ready))) << ready;
  EXPECT_NE(ready.find(", broker down (Connection refused), "),
            std::string::npos)
      << ready;
}

// The samples of a Prometheus text as the reference parser reads them,
// "NAME{LABEL=VALUE,...}" to the value, and each family's type by name.
struct Scrape {
  std::map<std::string, double> samples;
  std::map<std::string, std::string> types;
};

Scrape Parse(const std::string& text) {
  TempDir dir;
  const std::string file = dir.File("metrics.txt");
  WriteFile(file, text);
  // Debian's module, under Debian's interpreter, whatever python3 is first
  // on PATH.
  const ShellResult run = RunShell(
      "/usr/bin/python3 -c '"
      "import sys\n"
      "from prometheus_client.parser import text_string_to_metric_families\n"
      "for f in text_string_to_metric_families(open(sys.argv[1]).read()):\n"
      "  print(\"type\", f.name, f.type)\n"
      "  for s in f.samples:\n"
      "    labels = \",\".join(k + \"=\" + v for k, v in "
      "sorted(s.labels.items()))\n"
      "    print(\"sample\", s.name + \"{\" + labels + \"}\", repr(s.value))\n"
      "' " +
      ShellQuote(file) + " 2>&1");
  EXPECT_EQ(run.exitCode, 0) << run.output << "\nof\n" << text;
  Scrape scrape;
  std::istringstream lines(run.output);
  for (std::string what, name, value; lines >> what >> name >> value;) {
    if (what == "type") {
      scrape.types[name] = value;
    } else {
      EXPECT_TRUE(scrape.samples.emplace(name, std::stod(value)).second)
          << "twice: " << name;
    }
  }
  return scrape;
}

TEST(GatewayService, MetricsAreValidPrometheusTextAndAgreeWithTheStatsLine) {
  if (!std::filesystem::exists(kMosquitto))
    GTEST_SKIP() << "no mosquitto broker here (scripts/setup.sh installs it)";
  if (RunShell("/usr/bin/python3 -c 'import prometheus_client' 2>&1")
          .exitCode != 0) {
    GTEST_SKIP() << "no python3-prometheus-client here (scripts/setup.sh "
                    "installs it)";
  }
  Broker broker;
  const int page = FreeTcpPort();
  int udp = 0;
  auto gateway = StartGatewayTool(broker.port(),
                                  {"--stats", "1", "--silence", "60", "--http",
                                   std::to_string(page), "--metrics", "0"},
                                  &udp);
  ASSERT_GT(udp, 0);
  std::smatch at;
  const std::string errors = gateway->ReadErrors("/metrics\n");
  ASSERT_TRUE(std::regex_search(
      errors, at, std::regex("metrics at http://127\\.0\\.0\\.1:([0-9]+)/")))
      << errors;
  const int metrics = std::stoi(at[1]);

  // One station: a snapshot of three points, two item datagrams of two
  // records, an event; its MAC from elsewhere; two malformed datagrams.
  From station("127.0.0.1", udp);
  From elsewhere("127.0.0.2", udp);
  station.Send(kSnapshot, {"a|1", "b|2", "c|3"});
  station.Send(kItem, {"a|4", "b|5"});
  station.Send(kItem, {"c|6", "a|7"});
  station.Send(kEvent, {"door|open"});
  elsewhere.Send(kItem, {"a|666"});
  station.SendBytes({0xFF, 0xFF});
  station.SendBytes(BuildDatagram(0x07, {"a|1"}, From::kMac));

  // The line once all of it is counted and the snapshot has settled.
  const std::string settled =
      "malformed too_short=1 unknown_kind=1 refused wrong_address=1 "
      "stations=1 incomplete=0 ";
  const std::string output = gateway->ReadOutput(settled);
  const std::size_t found = output.find(settled);
  ASSERT_NE(found, std::string::npos) << output;
  const std::size_t begin = output.rfind('\n', found) + 1;
  const std::string line =
      output.substr(begin, output.find('\n', found) - begin);

  httplib::Client scraper("127.0.0.1", metrics);
  const auto answer = scraper.Get("/metrics");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->get_header_value("Content-Type"),
            "text/plain; version=0.0.4; charset=utf-8");
  const Scrape scrape = Parse(answer->body);

  // What was sent, counted by kind.
  const std::string p = "pelmora_gateway_";
  for (const auto& [sample, value] :
       std::vector<std::pair<std::string, double>>{
           {"datagrams_total{kind=item}", 2},
           {"datagrams_total{kind=event}", 1},
           {"datagrams_total{kind=snapshot}", 1},
           {"records_total{kind=item}", 4},
           {"records_total{kind=event}", 1},
           {"records_total{kind=snapshot}", 3},
           {"stations_online{}", 1},
           {"broker_connected{}", 1},
           {"command_outcomes_total{state=delivered}", 0}}) {
    const auto it = scrape.samples.find(p + sample);
    ASSERT_NE(it, scrape.samples.end()) << sample << "\n" << answer->body;
    EXPECT_EQ(it->second, value) << sample;
  }

  // Every count of the line, by the metric that carries it; the reasons
  // the line leaves out are 0. The backlog is left out: the line's own
  // message to the broker waits in it from the moment the line is made.
  const std::set<std::string> malformed = {
      "too_short",       "too_long",  "fixed_byte",    "unknown_kind",
      "length_mismatch", "no_record", "record_overrun"};
  const std::set<std::string> refused = {"unknown_station", "wrong_address",
                                         "too_many_stations"};
  const std::map<std::string, std::string> totals = {
      {"stations", "stations{}"},
      {"incomplete", "stations_incomplete{}"},
      {"dropped", "broker_dropped_events_total{}"},
      {"kernel_drops", "kernel_dropped_datagrams_total{}"},
      {"snapshots_incomplete", "snapshots_incomplete_total{}"},
      {"points_cleared", "points_cleared_total{}"}};
  std::map<std::string, double> expected;
  for (const std::string& reason : malformed)
    expected[p + "malformed_datagrams_total{reason=" + reason + "}"] = 0;
  for (const std::string& reason : refused)
    expected[p + "refused_datagrams_total{reason=" + reason + "}"] = 0;
  const std::string counts = line.substr(line.find(" malformed"));
  const std::regex pair("([a-z_]+)=([a-z0-9_]+)");
  for (auto it = std::sregex_iterator(counts.begin(), counts.end(), pair);
       it != std::sregex_iterator(); ++it) {
    const std::string name = (*it)[1];
    const std::string value = (*it)[2];
    if (name == "malformed" || name == "refused") continue;  // "=0": none
    std::string sample;
    if (malformed.count(name)) {
      sample = "malformed_datagrams_total{reason=" + name + "}";
    } else if (refused.count(name)) {
      sample = "refused_datagrams_total{reason=" + name + "}";
    } else if (name.rfind("replies_", 0) == 0) {
      sample = "command_replies_total{verdict=" + name.substr(8) + "}";
    } else if (name == "backlog") {
      continue;
    } else if (name == "broker") {
      expected[p + "broker_connected{}"] = value == "up" ? 1 : 0;
      continue;
    } else if (value == "not_counted") {
      // Absent, never 0, where the system does not count it.
      EXPECT_EQ(scrape.samples.count(p + totals.at(name)), 0u) << name;
      continue;
    } else {
      ASSERT_TRUE(totals.count(name)) << name << " in " << line;
      sample = totals.at(name);
    }
    expected[p + sample] = std::stod(value);
  }
  for (const auto& [sample, value] : expected) {
    const auto it = scrape.samples.find(sample);
    ASSERT_NE(it, scrape.samples.end()) << sample << "\n" << answer->body;
    EXPECT_EQ(it->second, value) << sample << " against " << line;
  }

  // Counters as the naming rules have them: "_total", and nothing else.
  for (const auto& [sample, value] : scrape.samples) {
    const std::string name = sample.substr(0, sample.find('{'));
    const bool total =
        name.size() > 6 && name.compare(name.size() - 6, 6, "_total") == 0;
    const auto type =
        scrape.types.find(total ? name.substr(0, name.size() - 6) : name);
    ASSERT_NE(type, scrape.types.end()) << sample;
    EXPECT_EQ(type->second, total ? "counter" : "gauge") << sample;
  }

  // The page's listener serves the same families.
  httplib::Client pageClient("127.0.0.1", page);
  const auto fromPage = pageClient.Get("/metrics");
  ASSERT_TRUE(fromPage);
  EXPECT_EQ(fromPage->status, 200);
  EXPECT_EQ(Parse(fromPage->body).types, scrape.types);
}

}  // namespace
}  // namespace pelmora::testing

// Real hosts with the real plug-in, two stations with their own MACs, send
// to the real gateway, which publishes to a real mosquitto broker on
// loopback; a subscriber of our own reads what the broker holds.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <httplib.h>

#include "host_run.h"
#include "loopback_broker.h"
#include "command_signing.h"
#include "signed_datagram.h"
#include "station_reply.h"
#include "support/child_process.h"
#include "support/mosquitto_port.h"
#include "topic_tree.h"

namespace pelmora::testing {
namespace {

using Tree = std::map<std::string, std::string>;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Subscribes to everything under pelmora/ and keeps the last payload of
// each topic, every event and every topic in order. With an `id`, its
// session outlives a broker restart: what arrives meanwhile waits for it.
class Subscriber {
 public:
  explicit Subscriber(int port, const char* id = nullptr,
                      const char* user = nullptr,
                      const char* password = nullptr)
      : client_(
            port, "pelmora/#", id,
            [this](const std::string& topic, std::string payload) {
              Received(topic, std::move(payload));
            },
            user, password) {}

  // Waits up to 20 s for `done` to hold; true if it did.
  bool WaitFor(
      const std::function<bool(const Tree& last,
                               const std::vector<std::string>& events)>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, seconds(20),
                             [&] { return done(last_, events_); });
  }
  void Publish(const std::string& topic, const std::string& payload,
               bool retain = false) {
    client_.Publish(topic, payload, retain);
  }
  // The first payload that came on `topic`, once one has.
  std::string First(const std::string& topic) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, seconds(20), [&] { return first_.count(topic); });
    return first_.count(topic) ? first_.at(topic) : "";
  }
  // The topics of the messages that came, in order.
  std::vector<std::string> Order() {
    std::lock_guard<std::mutex> lock(mutex_);
    return order_;
  }
  // What the broker holds under points/: for a subscriber that has just
  // come, the retained messages, once they stop arriving.
  Tree Points() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t seen = ~std::size_t{0};
    while (seen != count_) {
      seen = count_;
      changed_.wait_for(lock, milliseconds(500));
    }
    Tree points;
    for (const auto& [topic, payload] : last_)
      if (topic.find("/points/") != std::string::npos && !payload.empty())
        points[topic] = payload;
    return points;
  }

 private:
  void Received(const std::string& topic, std::string payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (topic.size() > 7 && topic.compare(topic.size() - 7, 7, "/events") == 0)
      events_.push_back(payload);
    order_.push_back(topic);
    first_.emplace(topic, payload);
    last_[topic] = std::move(payload);
    ++count_;
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  Tree last_;
  Tree first_;
  std::vector<std::string> events_;
  std::vector<std::string> order_;
  std::size_t count_ = 0;
  // Last: it calls Received until it is gone.
  TestClient client_;
};

const std::string kStation = "pelmora/02-00-00-00-00-0D/";

bool Holds(const Tree& last, const std::string& topic,
           const std::string& payload) {
  const auto found = last.find(topic);
  return found != last.end() &&
         found->second.find(payload) != std::string::npos;
}

class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kMosquitto))
      GTEST_SKIP() << "no mosquitto broker here (scripts/setup.sh installs it)";
    broker_ = std::make_unique<Broker>(Persistence());
  }
  virtual bool Persistence() const { return false; }

  void StartGateway(const std::vector<std::string>& more = {}) {
    std::vector<std::string> args = {"--stats", "1"};
    args.insert(args.end(), more.begin(), more.end());
    gateway_ = StartGatewayTool(broker_->port(), args, &gatewayPort_);
    ASSERT_GT(gatewayPort_, 0);
  }

  // A host directory of the Linux plug-in, sending to the gateway as the
  // station `mac`.
  std::unique_ptr<HostDir> Station(const std::string& mac) {
    auto host = std::make_unique<HostDir>(Targets().front());
    host->Configure(gatewayPort_, mac);
    return host;
  }

  std::unique_ptr<Broker> broker_;
  std::unique_ptr<ChildProcess> gateway_;
  int gatewayPort_ = 0;
};

TEST_F(GatewayTest, TwoStationsLandInTheRetainedTreeWithTheirEventsInOrder) {
  StartGateway({"--quiet"});
  Subscriber watcher(broker_->port());
  const std::string temperature = "\xCE\xC2\xB6\xC8";  // 温度
  EXPECT_EQ(Station("02:00:00:00:00:0A")
                ->Run({"init",      "update", "a/b",    "1",     "update",
                       temperature, "20",     "update", "x+y#%", "3",
                       "update",    "a/b",    "2",      "event", "e1",
                       "x",         "event",  "e2",     "y",     "event",
                       "e3",        "z",      "sleep",  "2500",  "uninit"})
                .exitCode,
            0);
  EXPECT_EQ(Station("02:00:00:00:00:0B")
                ->Run({"init", "round", "P", "3", "0", "round", "P", "3", "7",
                       "sleep", "1500", "uninit"})
                .exitCode,
            0);

  const std::string a = "pelmora/02-00-00-00-00-0A/";
  const std::string b = "pelmora/02-00-00-00-00-0B/";
  EXPECT_EQ(Subscriber(broker_->port()).Points(),
            (Tree{{a + "points/a%2Fb", "2"},
                  {a + "points/\xE6\xB8\xA9\xE5\xBA\xA6", "20"},
                  {a + "points/x%2By%23%25", "3"},
                  {b + "points/P0", "7"},
                  {b + "points/P1", "7"},
                  {b + "points/P2", "7"}}));
  EXPECT_TRUE(watcher.WaitFor([](const Tree&, const auto& events) {
    return events == std::vector<std::string>{"e1|x", "e2|y", "e3|z"};
  }));
  // Two seconds after its last datagram, station A is offline.
  EXPECT_TRUE(watcher.WaitFor([&](const Tree& last, const auto&) {
    const auto status = last.find(a + "status");
    return status != last.end() &&
           status->second.rfind("{\"state\":\"offline\"", 0) == 0;
  }));
}

TEST_F(GatewayTest, VanishedPointsAreClearedAndABrokerRestartLosesNothing) {
  StartGateway({"--quiet"});
  const std::string p = "pelmora/02-00-00-00-00-0C/points/P";
  std::unique_ptr<HostDir> station = Station("02:00:00:00:00:0C");
  // The host restarts its service with one point fewer; the operator then
  // resends the snapshot from the dialog.
  EXPECT_EQ(station
                ->Run({"init",  "round", "P",     "3",     "1",   "round",
                       "P",     "3",     "1",     "sleep", "500", "uninit",
                       "init",  "round", "P",     "2",     "2",   "round",
                       "P",     "2",     "2",     "sleep", "500", "settings",
                       "sleep", "500",   "uninit"},
                      300, "update\nok\n")
                .exitCode,
            0);
  Subscriber watcher(broker_->port());
  EXPECT_TRUE(watcher.WaitFor([&](const Tree& last, const auto&) {
    return last.count(p + "1") && last.find(p + "2") == last.end();
  })) << "the snapshot without P2 did not clear it";
  EXPECT_EQ(Subscriber(broker_->port()).Points(),
            (Tree{{p + "0", "2"}, {p + "1", "2"}}));

  // While the broker is away the station changes both points; the broker
  // comes back empty and gets everything again.
  broker_->Stop();
  EXPECT_EQ(station
                ->Run({"init", "round", "P", "2", "3", "round", "P", "2", "3",
                       "sleep", "1500", "uninit"})
                .exitCode,
            0);
  broker_->Start();
  Subscriber after(broker_->port());
  EXPECT_TRUE(after.WaitFor([&](const Tree& last, const auto&) {
    return last.count(p + "0") && last.at(p + "0") == "3";
  }));
  // The counters kept while it was away are not the first it gets.
  EXPECT_NE(
      after.First("pelmora/gateway/stats").find("\"broker_connected\":true"),
      std::string::npos);
  EXPECT_EQ(Subscriber(broker_->port()).Points(),
            (Tree{{p + "0", "3"}, {p + "1", "3"}}));

  // A gateway that stops says so on its retained status.
  gateway_->Signal(SIGTERM);
  EXPECT_EQ(gateway_->ExitStatus(), 0);
  EXPECT_TRUE(after.WaitFor([](const Tree& last, const auto&) {
    return last.count("pelmora/gateway/status") &&
           last.at("pelmora/gateway/status") == "offline";
  }));
}

TEST_F(GatewayTest, ForgedDatagramsFromAnotherAddressChangeNothing) {
  StartGateway({"--quiet"});
  Subscriber watcher(broker_->port());
  From station("127.0.0.1", gatewayPort_);
  From forger("127.0.0.2", gatewayPort_);
  station.Send(kSnapshot, {"A|1", "B|2"});
  station.Send(kItem, {"E|"});  // an empty value is a value
  ASSERT_TRUE(watcher.WaitFor([](const Tree& last, const auto&) {
    return last.count(kStation + "points/E") != 0;
  }));
  // One forged snapshot datagram would clear B once it settled.
  forger.Send(kSnapshot, {"A|forged"});
  forger.Send(kEvent, {"x|forged"});
  station.Send(kEvent, {"e|real"});
  EXPECT_TRUE(watcher.WaitFor([](const Tree& last, const auto&) {
    return Holds(last, "pelmora/gateway/stats", "\"wrong_address\":2");
  }));
  EXPECT_TRUE(watcher.WaitFor([](const Tree& last, const auto&) {
    return Holds(last, kStation + "status", "\"last_snapshot\":\"");
  }));
  EXPECT_EQ(Subscriber(broker_->port()).Points(),
            (Tree{{kStation + "points/A", "1"},
                  {kStation + "points/B", "2"},
                  {kStation + "points/E", std::string(1, '\0')}}));
  EXPECT_TRUE(watcher.WaitFor([](const Tree&, const auto& events) {
    return events == std::vector<std::string>{"e|real"};
  }));
}

TEST_F(GatewayTest, ABurstBeyondTheQueueLeavesEveryRetainedValueCurrent) {
  StartGateway({"--quiet", "--queue", "20", "--in-flight", "50"});
  Subscriber watcher(broker_->port());
  From station("127.0.0.1", gatewayPort_);
  Tree expected;
  for (int round = 0; round < 2; ++round) {
    for (int datagram = 0; datagram < 10; ++datagram) {
      std::vector<std::string> records;
      for (int i = 0; i < 40; ++i) {
        const std::string name = "P" + std::to_string(datagram * 40 + i);
        // The second round changes every other point.
        if (round == 1 && i % 2 == 0) continue;
        const std::string value = std::to_string(round);
        records.push_back(name + "|" + value);
        expected[kStation + "points/" + name] = value;
      }
      station.Send(kItem, records);
      station.Send(kEvent, {"e|" + std::to_string(round * 10 + datagram)});
    }
  }
  EXPECT_TRUE(watcher.WaitFor([&](const Tree& last, const auto&) {
    return Holds(last, "pelmora/gateway/stats", "\"backlog\":0,");
  }));
  EXPECT_EQ(Subscriber(broker_->port()).Points(), expected);
}

TEST_F(GatewayTest, ValuesInFlightWhenTheBrokerDiesArriveAndTheBacklogEmpties) {
  StartGateway({"--quiet"});
  From station("127.0.0.1", gatewayPort_);
  // The broker takes the messages in but acknowledges none, then dies.
  broker_->Signal(SIGSTOP);
  for (int i = 0; i < 30; ++i)
    station.Send(kItem, {"P" + std::to_string(i) + "|" + std::to_string(i)});
  std::this_thread::sleep_for(milliseconds(300));
  broker_->Stop();
  broker_->Start();
  Subscriber watcher(broker_->port());
  EXPECT_TRUE(watcher.WaitFor([&](const Tree& last, const auto&) {
    return Holds(last, "pelmora/gateway/stats", "\"backlog\":0,") &&
           last.count(kStation + "points/P29") != 0;
  }));
  EXPECT_EQ(Subscriber(broker_->port()).Points().size(), 30u);
}

TEST_F(GatewayTest, DatagramsTheSystemDroppedAreCountedWithoutALaterOne) {
  StartGateway({"--quiet", "--rcvbuf", "65536"});
  Subscriber watcher(broker_->port());
  From station("127.0.0.1", gatewayPort_);
  gateway_->Signal(SIGSTOP);  // its socket buffer fills and overflows
  for (int i = 0; i < 2000; ++i) station.Send(kItem, {"A|1"});
  gateway_->Signal(SIGCONT);
  // Nothing comes after the drops to tell of them: the count is read.
  EXPECT_TRUE(watcher.WaitFor([&](const Tree& last, const auto&) {
    return Holds(last, "pelmora/gateway/stats", "\"kernel_drops\":") &&
           !Holds(last, "pelmora/gateway/stats", "\"kernel_drops\":0,");
  }));
  EXPECT_NE(gateway_->ReadErrors("the receive buffer was full")
                .find("the receive buffer was full"),
            std::string::npos);
}

// The datagrams of 20,000 new stations beyond the most the table keeps:
// each refused and counted, and the log sums them up in a few lines.
TEST_F(GatewayTest, ThousandsOfRefusedStationsTakeAFewLinesOfTheLog) {
  StartGateway({"--quiet", "--max-stations", "1"});
  Subscriber watcher(broker_->port());
  From sender("127.0.0.1", gatewayPort_);
  constexpr int kRefused = 20000;
  for (int i = 0; i <= kRefused; ++i) {
    sender.SendAs(
        {2, 1, 0, std::uint8_t(i >> 16), std::uint8_t(i >> 8), std::uint8_t(i)},
        kItem, {"A|1"});
  }
  // Refused, or dropped where the system grants a smaller buffer: one
  // datagram was admitted.
  int counted = 0;
  ASSERT_TRUE(watcher.WaitFor([&](const Tree& last, const auto&) {
    const auto stats = last.find("pelmora/gateway/stats");
    std::smatch refused, dropped;
    if (stats == last.end() ||
        !std::regex_search(stats->second, refused,
                           std::regex("\"too_many_stations\":(\\d+)")) ||
        !std::regex_search(stats->second, dropped,
                           std::regex("\"kernel_drops\":(\\d+)")))
      return false;
    counted = std::stoi(refused[1]);
    return counted + std::stoi(dropped[1]) == kRefused;
  }));
  gateway_->Signal(SIGTERM);
  const std::string errors = gateway_->ReadErrors();
  EXPECT_EQ(gateway_->ExitStatus(), 0);
  int lines = 0;
  int told = 0;
  const std::regex refused("refused (?:(\\d+) datagrams|\\S+ from )");
  for (std::sregex_iterator m(errors.begin(), errors.end(), refused), end;
       m != end; ++m) {
    ++lines;
    told += (*m)[1].matched ? std::stoi((*m)[1]) : 1;
  }
  EXPECT_LE(lines, 10) << errors;
  EXPECT_EQ(told, counted) << errors;  // each said once
  // The first connection and the stop are told too.
  EXPECT_NE(errors.find("pelmora-gateway: connected to 127.0.0.1:"),
            std::string::npos);
  EXPECT_NE(errors.find("pelmora-gateway: stopped\n"), std::string::npos);
}

TEST_F(GatewayTest, BadCaCertificateOrKeyFilesAreRefusedByName) {
  for (const char* option : {"--cafile", "--certfile", "--keyfile"}) {
    ChildProcess gateway(
        {"--port", "0", option, "/nonexistent/site.pem"},
        {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", PELMORA_GATEWAY_BINARY});
    EXPECT_NE(gateway.ReadOutput().find("/nonexistent/site.pem"),
              std::string::npos)
        << option;
    EXPECT_EQ(gateway.ExitStatus(), 1);
  }
}

// A TLS listener with a password file, certificates made here. The gateway
// first trusts the wrong CA; once the right one is in its file, it gets
// through without a restart.
TEST_F(GatewayTest, ATlsFailureIsRetriedUntilTheRightCaIsInPlace) {
  const TempDir pki;
  const std::string d = pki.path() + "/";
  const std::string newKey =
      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
      "-days 1 2>/dev/null ";
  const std::string script =
      "cd " + d + " && " + newKey +
      "-x509 -subj /CN=site-ca -keyout ca.key -out ca.pem && " + newKey +
      "-x509 -subj /CN=site-ca -keyout other.key -out other.pem && " + newKey +
      "-subj /CN=127.0.0.1 -keyout server.key -out server.csr && "
      "printf 'subjectAltName=IP:127.0.0.1\\n' > san && "
      "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key "
      "-CAcreateserial -days 1 -extfile san -out server.pem 2>/dev/null && "
      "mosquitto_passwd -b -c passwd pelmora 's3 cret' && "
      "printf 's3 cret\\n' > secret && cp other.pem trusted.pem";
  ASSERT_EQ(std::system(script.c_str()), 0);
  Broker tls(false, "cafile " + d + "ca.pem\ncertfile " + d +
                        "server.pem\nkeyfile " + d + "server.key\n" +
                        "password_file " + d + "passwd\n");
  ChildProcess gateway(
      {"--port", "0", "--broker-port", std::to_string(tls.port()), "--cafile",
       d + "trusted.pem", "--user", "pelmora", "--password-file", d + "secret",
       "--reconnect-max", "1", "--stats", "1"},
      {PELMORA_GATEWAY_BINARY});
  ASSERT_GT(gateway.ListeningPort(), 0);
  EXPECT_NE(gateway.ReadOutput("verify failed").find("broker=down"),
            std::string::npos);
  std::filesystem::copy_file(d + "ca.pem", d + "trusted.pem",
                             std::filesystem::copy_options::overwrite_existing);
  EXPECT_NE(gateway.ReadOutput("broker=up").find("broker=up"),
            std::string::npos);
}

// Every point the page's JSON lists, as the retained tree names it.
Tree PagePoints(httplib::Client& page) {
  Tree tree;
  const auto stations = page.Get("/api/stations");
  if (!stations) return tree;
  const std::regex mac(R"re("mac":"([0-9A-F-]{17})")re");
  const std::regex point(
      R"re("id":"([0-9a-f]*)","name":"(?:[^"\\]|\\.)*"(?:,"name_raw":"[0-9a-f]*")?,"value":"([^"\\]*)")re");
  for (std::sregex_iterator
           m(stations->body.begin(), stations->body.end(), mac),
       end;
       m != end; ++m) {
    const std::string station = (*m)[1];
    const auto points = page.Get("/api/stations/" + station + "/points");
    if (!points) continue;
    for (std::sregex_iterator p(points->body.begin(), points->body.end(),
                                point);
         p != end; ++p) {
      const std::string hex = (*p)[1];
      std::string name;
      for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        name += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
      tree[gateway::PointTopic(station, name)] = (*p)[2];
    }
  }
  return tree;
}

TEST_F(GatewayTest, ThePagesJsonHoldsTheRetainedTreeAndAnswersOnlyThisGateway) {
  const int http = FreeTcpPort();
  StartGateway({"--quiet", "--http", std::to_string(http)});
  EXPECT_EQ(
      Station("02:00:00:00:00:0A")
          ->Run({"init", "update", "\xCE\xC2\xB6\xC8", "20", "update", "a/b",
                 "1", "update", "a/b", "2", "sleep", "1500", "uninit"})
          .exitCode,
      0);
  EXPECT_EQ(Station("02:00:00:00:00:0B")
                ->Run({"init", "round", "P", "3", "0", "round", "P", "3", "7",
                       "sleep", "1500", "uninit"})
                .exitCode,
            0);
  const Tree retained = Subscriber(broker_->port()).Points();
  EXPECT_EQ(retained.size(), 5u) << ::testing::PrintToString(retained);
  httplib::Client page("127.0.0.1", http);
  EXPECT_EQ(PagePoints(page), retained);

  const std::string self = "127.0.0.1:" + std::to_string(http);
  const struct {
    httplib::Headers headers;
    int status;
  } cases[] = {
      {{}, 200},
      {{{"Origin", "http://" + self}}, 200},
      {{{"Host", "attacker.example:" + std::to_string(http)}}, 403},
      {{{"Origin", "http://attacker.example"}}, 403},
  };
  for (const auto& c : cases) {
    for (const std::string path : {"/", "/api/stations", "/api/stream"}) {
      if (c.status == 200 && path == "/api/stream") continue;  // never ends
      const auto response = page.Get(path.c_str(), c.headers);
      ASSERT_TRUE(response) << path;
      EXPECT_EQ(response->status, c.status) << path;
    }
  }
}

// The site file read again on SIGHUP: new names, and limits checked
// against the values held; a file at fault is refused by its line and the
// one before kept.
TEST_F(GatewayTest, ASiteFileReadAgainOnSighupRenamesAndALaterFaultIsRefused) {
  const int http = FreeTcpPort();
  const TempDir dir;
  const std::string site = dir.path() + "/site";
  WriteFile(site, "encoding utf-8\nstation 02-00-00-00-00-0A name One\n");
  StartGateway({"--quiet", "--http", std::to_string(http), "--site", site});
  From station("127.0.0.1", gatewayPort_, {2, 0, 0, 0, 0, 0x0A});
  station.Send(kItem, {"L|9"});
  httplib::Client page("127.0.0.1", http);
  auto get = [&page](const char* path) {
    for (int tries = 0; tries < 500; ++tries) {  // until the datagram is in
      const auto answer = page.Get(path);
      if (answer && answer->body.find("02-00-00-00-00-0A") != std::string::npos)
        return answer->body;
      std::this_thread::sleep_for(milliseconds(10));
    }
    return std::string();
  };
  EXPECT_NE(get("/api/stations").find("\"name\":\"One\""), std::string::npos);

  WriteFile(site,
            "encoding utf-8\nstation 02-00-00-00-00-0A name Two\n"
            "point * L high 5 severity major\n");
  gateway_->Signal(SIGHUP);
  EXPECT_NE(gateway_->ReadErrors("read again").find("read again"),
            std::string::npos);
  EXPECT_NE(get("/api/stations").find("\"name\":\"Two\""), std::string::npos);
  const std::string alarms = get("/api/alarms");
  EXPECT_NE(alarms.find("\"name\":\"L\",\"severity\":\"major\","
                        "\"state\":\"unacknowledged\""),
            std::string::npos)
      << alarms;

  WriteFile(site, "encoding utf-8\nstation 02-00-00-00-00-0A nam Three\n");
  gateway_->Signal(SIGHUP);
  EXPECT_NE(gateway_->ReadErrors("keeping").find(
                site + ": line 2: unknown setting nam; keeping"),
            std::string::npos);
  EXPECT_NE(get("/api/stations").find("\"name\":\"Two\""), std::string::npos);
  EXPECT_TRUE(gateway_->Running());
}

TEST_F(GatewayTest, APageThatCannotListenStopsTheGatewayWithTheReason) {
  // The broker holds its port; the other address is on no machine.
  for (const std::string& listen :
       {std::to_string(broker_->port()), std::string("192.0.2.1:8080")}) {
    ChildProcess gateway(
        {"--port", "0", "--http", listen, "--http-open-reads"},
        {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>&1", PELMORA_GATEWAY_BINARY});
    EXPECT_NE(gateway.ReadOutput().find("cannot listen for HTTP on"),
              std::string::npos)
        << listen;
    EXPECT_EQ(gateway.ExitStatus(), 1) << listen;
  }
}

// The page's token: 32 characters of base64, 192 bits.
constexpr char kPageToken[] = "pG7rT0kQ2vX9mB4nW8sL1zY6cH3dF5jA";

// The key of the stations that take signed commands, in the gateway's key
// file and in their hosts' configuration.
const std::string kKeyHex =
    "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

// An operator watches two stations live in a real browser, finds points
// among many by typing part of their names, and writes to the station whose
// key the gateway holds, with the page's token only.
std::string GuideBlock(const std::string& file);

TEST_F(GatewayTest, AnOperatorWatchesTwoStationsInTheBrowser) {
  const std::string playwright = PELMORA_PLAYWRIGHT_MODULES;
  if (!std::filesystem::exists("/usr/bin/chromium"))
    GTEST_SKIP() << "no chromium here (scripts/setup.sh installs it)";
  if (!std::filesystem::exists(playwright + "/playwright-core"))
    GTEST_SKIP() << "no playwright-core in " << playwright
                 << " (scripts/setup.sh installs it)";
  const int http = FreeTcpPort();
  const TempDir sync;
  const std::string keys = sync.path() + "/keys";
  const std::string token = sync.path() + "/token";
  WriteFile(keys, "02-00-00-00-00-0A " + kKeyHex + "\n");
  WriteFile(token, std::string(kPageToken) + "\n");
  ::chmod(keys.c_str(), 0600);
  ::chmod(token.c_str(), 0600);
  // The guide's site file for the demo's stations, and this test's points.
  const std::string site = sync.path() + "/site";
  const std::string guideSite = GuideBlock("/etc/pelmora-gateway.site");
  ASSERT_NE(guideSite.find("Boiler house"), std::string::npos);
  WriteFile(site, guideSite +
                      "point * T description \"Tank temperature\" unit "
                      "\xC2\xB0"
                      "C\n"
                      "point 02-00-00-00-00-0B L unit bar low 1 high 8 "
                      "severity major\n");
  StartGateway({"--quiet", "--http", std::to_string(http), "--silence", "60",
                "--keys", keys, "--http-token-file", token, "--state-dir",
                sync.path(), "--site", site});
  // Station A's host goes through its points twice (its first round ends
  // where a name repeats), then holds until the page has shown T's value,
  // and later until the page's write is done.
  const std::string temperature = "\xCE\xC2\xB6\xC8";  // 温度
  const std::string shown = sync.path() + "/shown";
  const std::string written = sync.path() + "/written";
  std::unique_ptr<HostDir> hostA = Station("02:00:00:00:00:0A");
  WriteFile(hostA->Drivers("Pelmora.ini"),
            ReadFile(hostA->Drivers("Pelmora.ini")) +
                "[COMMAND]\r\nKEY=" + kKeyHex + "\r\n");
  // Both copies of the host are made before either runs: a copy made while
  // another host starts could be held open by it and not run.
  std::unique_ptr<HostDir> hostB = Station("02:00:00:00:00:0B");
  HostResult resultA;
  std::thread a([&] {
    std::vector<std::string> round = {"update",    "T",  "1",     "update",
                                      temperature, "20", "round", "P",
                                      "3",         "0"};
    std::vector<std::string> commands = {"init", "callback"};
    commands.insert(commands.end(), round.begin(), round.end());
    commands.insert(commands.end(), round.begin(), round.end());
    commands.insert(commands.end(),
                    {"waitfor", shown, "60000", "update", "T", "2", "event",
                     "door", "open", "event", "alarm", "high", "waitfor",
                     written, "60000", "sleep", "2500", "uninit"});
    resultA = hostA->Run(commands);
    EXPECT_EQ(resultA.exitCode, 0);
  });
  EXPECT_EQ(hostB
                ->Run({"init", "round", "Q", "3", "0", "round", "Q", "3", "5",
                       "sleep", "2500", "uninit"})
                .exitCode,
            0);
  // A station of more points than one answer holds, sent as fast as
  // loopback takes them.
  constexpr int kBigPoints = 120000;
  auto sendPoints = [](From& station, int count) {
    for (int first = 0; first < count; first += 50) {
      std::vector<std::string> records;
      for (int i = first; i < std::min(count, first + 50); ++i) {
        char name[24];
        std::snprintf(name, sizeof name, "N%06d|%d", i, i);
        records.push_back(name);
      }
      station.Send(kItem, records);
      if (first % 5000 == 0) std::this_thread::sleep_for(milliseconds(5));
    }
  };
  From big("127.0.0.1", gatewayPort_);
  sendPoints(big, kBigPoints);
  const std::string screenshot =
      std::filesystem::current_path().string() + "/operator_page.png";
  const std::string phoneScreenshot =
      std::filesystem::current_path().string() + "/operator_page_390.png";
  ChildProcess check(
      {PELMORA_PAGE_CHECK,
       "http://" + std::string("127.0.0.1:") + std::to_string(http) + "/",
       screenshot, "02-00-00-00-00-0A", "02-00-00-00-00-0B", "54", "1", "2",
       "\xE6\xB8\xA9\xE5\xBA\xA6", "02-00-00-00-00-0D",
       std::to_string(kBigPoints), kPageToken, "02-00-00-00-00-0C",
       phoneScreenshot},
      {"/bin/sh", "-c", "NODE_PATH=\"$0\" exec node \"$@\" 2>&1", playwright});
  // Each step waits on the page's word, however slow a loaded machine
  // makes the browser; a page script that ended says no more.
  auto await = [&check](const std::string& marker) {
    std::string output;
    while ((output = check.ReadOutput(marker)).find(marker) ==
               std::string::npos &&
           check.Running()) {
    }
    return output;
  };
  // The host changes the value once the page has shown the first.
  await("seen the first value");
  std::ofstream{shown}.put('\n');
  await("delivered");
  std::ofstream{written}.put('\n');
  // Station B raises an alarm event and takes L beyond its high limit while
  // the page shows A; then L comes back.
  await("alarms please");
  From stationB("127.0.0.1", gatewayPort_, {2, 0, 0, 0, 0, 0x0B});
  stationB.Send(kItem, {"L|9"});
  stationB.Send(kEvent, {"alarm|pressure"});
  await("return please");
  stationB.Send(kItem, {"L|3"});
  // A station that changes every few milliseconds while the operator
  // clicks and selects, with one event of 900 characters.
  await("flood please");
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    From busy("127.0.0.1", gatewayPort_, {2, 0, 0, 0, 0, 0x0C});
    busy.Send(kEvent, {"long|" + std::string(900, 'W')});
    for (int round = 0; flooding; ++round) {
      std::vector<std::string> records;
      for (int i = 0; i < 10; ++i)
        records.push_back("P0" + std::to_string(i) + "|" +
                          std::to_string(round));
      busy.Send(kItem, records);
      std::this_thread::sleep_for(milliseconds(2));
    }
  });
  await("flood over");
  flooding = false;
  flood.join();
  // A gateway that stops, and another on the same port that has logged
  // more changes than the page saw before the page gets through to it.
  const std::string drop = await("ready for the drop ");
  const std::size_t at = drop.find("ready for the drop ");
  const int seen =
      at == std::string::npos ? 0 : std::atoi(drop.c_str() + at + 19);
  gateway_->Signal(SIGTERM);
  EXPECT_EQ(gateway_->ExitStatus(), 0);
  await("saw the drop");
  StartGateway({"--quiet", "--http", std::to_string(http)});
  From busier("127.0.0.1", gatewayPort_, {2, 0, 0, 0, 0, 0x0E});
  sendPoints(busier, seen + 500);
  std::string output;
  while (check.Running()) output = check.ReadOutput();  // quiet while it waits
  output = check.ReadOutput();
  EXPECT_EQ(check.ExitStatus(), 0) << output;
  std::printf("%s", output.c_str());
  EXPECT_TRUE(std::filesystem::exists(screenshot));
  EXPECT_TRUE(std::filesystem::exists(phoneScreenshot));
  a.join();
  // The page's write reached the host's callback, once; the refused ones
  // never did.
  const std::size_t call = resultA.output.find("callback T 42\n");
  EXPECT_NE(call, std::string::npos) << resultA.output;
  EXPECT_EQ(resultA.output.find("callback T", call + 1), std::string::npos)
      << resultA.output;
}

// The broker keeps its retained tree and its clients' sessions across a
// restart, as a site's broker does.
class KeptTreeTest : public GatewayTest {
 protected:
  bool Persistence() const override { return true; }
};

TEST_F(KeptTreeTest,
       ClearingsAndNewestEventsFollowTheStateAndStatusesTellTheTruth) {
  StartGateway({"--quiet", "--queue", "3"});
  Subscriber watcher(broker_->port(), "pelmora-test-watcher");
  {
    From station("127.0.0.1", gatewayPort_);
    station.Send(kSnapshot, {"A|1", "B|1", "C|1"});
    ASSERT_TRUE(watcher.WaitFor([](const Tree& last, const auto&) {
      return Holds(last, kStation + "status", "\"last_snapshot\":\"");
    }));
    broker_->Shutdown();
    // Once the gateway knows: an event it handed to libmosquitto before
    // would be sent again on the next connection, beside the three kept.
    gateway_->ReadErrors("retrying");
    // While the broker is away the station drops C and sends five events:
    // the queue keeps the newest three.
    station.Send(kSnapshot, {"A|2", "B|2"});
    for (const char* event : {"e|1", "e|2", "e|3", "e|4", "e|5"})
      station.Send(kEvent, {event});
    // C's snapshot settles, and C is cleared, before the broker is back:
    // however loaded the machine, the clearing is then retained state.
    gateway_->ReadErrors("not in its snapshot");
  }
  const std::size_t before = watcher.Order().size();
  broker_->Start();
  ASSERT_TRUE(watcher.WaitFor(
      [](const Tree&, const auto& events) { return events.size() == 3; }));
  EXPECT_TRUE(watcher.WaitFor([](const Tree&, const auto& events) {
    return events == std::vector<std::string>{"e|3", "e|4", "e|5"};
  }));
  // The retained state came first.
  const std::vector<std::string> order = watcher.Order();
  std::size_t lastPoint = 0;
  std::size_t firstEvent = order.size();
  for (std::size_t i = before; i < order.size(); ++i) {
    if (order[i].find("/points/") != std::string::npos) lastPoint = i;
    if (order[i] == kStation + "events") firstEvent = std::min(firstEvent, i);
  }
  EXPECT_LT(lastPoint, firstEvent);
  EXPECT_EQ(Subscriber(broker_->port()).Points(),
            (Tree{{kStation + "points/A", "2"}, {kStation + "points/B", "2"}}));

  // A gateway that stops takes its stations offline with it.
  gateway_->Signal(SIGTERM);
  EXPECT_EQ(gateway_->ExitStatus(), 0);
  EXPECT_TRUE(watcher.WaitFor([](const Tree& last, const auto&) {
    return Holds(last, kStation + "status", "{\"state\":\"offline\"") &&
           Holds(last, "pelmora/gateway/status", "offline");
  }));
  // The next one knows what the broker holds: B counts, and goes with the
  // station's next snapshot.
  StartGateway({"--quiet"});
  From station("127.0.0.1", gatewayPort_);
  ASSERT_TRUE(watcher.WaitFor([](const Tree& last, const auto&) {
    return Holds(last, "pelmora/gateway/status", "online");
  }));
  station.Send(kItem, {"A|3"});
  EXPECT_TRUE(watcher.WaitFor([](const Tree& last, const auto&) {
    return Holds(last, kStation + "status", "\"points\":2}");
  }));
  station.Send(kSnapshot, {"A|3"});
  EXPECT_TRUE(watcher.WaitFor([](const Tree& last, const auto&) {
    return Holds(last, kStation + "status", "\"points\":1}");
  }));
  EXPECT_EQ(Subscriber(broker_->port()).Points(),
            (Tree{{kStation + "points/A", "3"}}));
}

// Signed commands: the gateway holds station 0D's key, and the real host's
// plug-in holds the same one.
class CommandsTest : public GatewayTest {
 protected:
  void SetUp() override {
    GatewayTest::SetUp();
    WriteFile(keys_,
              "# the site's stations\n02-00-00-00-00-0D " + kKeyHex + "\n");
    ::chmod(keys_.c_str(), 0600);
  }
  // A host directory of `target` as station 0D with the key.
  std::unique_ptr<HostDir> KeyedStation(const Target& target) {
    auto host = std::make_unique<HostDir>(target);
    host->Configure(gatewayPort_, "02:00:00:00:00:0D");
    WriteFile(host->Drivers("Pelmora.ini"),
              ReadFile(host->Drivers("Pelmora.ini")) +
                  "[COMMAND]\r\nKEY=" + kKeyHex + "\r\n");
    return host;
  }
  // Runs `commands` on the host in the background.
  std::thread Run(HostDir& host, const std::vector<std::string>& commands,
                  HostResult* result) {
    return std::thread(
        [&host, commands, result] { *result = host.Run(commands, 0); });
  }

  TempDir dir_;
  const std::string keys_ = dir_.path() + "/keys";
};

class CommandTargetTest : public CommandsTest,
                          public ::testing::WithParamInterface<Target> {
 protected:
  void SetUp() override {
    if (!GetParam().skip.empty()) GTEST_SKIP() << GetParam().skip;
    CommandsTest::SetUp();
  }
};

TEST_P(CommandTargetTest, AWritePublishedReachesTheCallbackOnceAndIsDelivered) {
  StartGateway({"--quiet", "--keys", keys_, "--state-dir", dir_.path()});
  Subscriber watcher(broker_->port());
  From stranger("127.0.0.3", gatewayPort_, {2, 0, 0, 0, 0, 0x0E});
  std::unique_ptr<HostDir> host = KeyedStation(GetParam());
  HostResult result;
  std::thread running =
      Run(*host,
          {"init", "callback", "round", "P", "3", "1", "round", "P", "3", "1",
           "waitfor", "go", "60000", "uninit"},
          &result);
  EXPECT_TRUE(watcher.WaitFor([](const Tree& last, const auto&) {
    return last.count(kStation + "points/P2") != 0;
  }));
  watcher.Publish(kStation + "commands/write/\xE6\xB8\xA9\xE5\xBA\xA6",  // 温度
                  "{\"id\":\"op-1\",\"value\":\"42.5 C\"}");
  EXPECT_TRUE(watcher.WaitFor([](const Tree& last, const auto&) {
    return Holds(last, kStation + "commands/results",
                 "{\"id\":\"op-1\",\"command\":\"write\",\"name\":"
                 "\"\xE6\xB8\xA9\xE5\xBA\xA6\",\"state\":\"delivered\"");
  }));
  // A station the gateway has no key for gets nothing, unsigned least of
  // all.
  stranger.Send(kItem, {"A|1"});
  const std::string other = "pelmora/02-00-00-00-00-0E/";
  EXPECT_TRUE(watcher.WaitFor([&](const Tree& last, const auto&) {
    return last.count(other + "points/A") != 0;
  }));
  watcher.Publish(other + "commands/write/A", "2");
  EXPECT_TRUE(watcher.WaitFor([&](const Tree& last, const auto&) {
    return Holds(last, other + "commands/results",
                 "\"state\":\"refused\",\"reason\":\"no key for this "
                 "station\"");
  }));
  EXPECT_FALSE(stranger.Answered(300));
  WriteFile(host->path() + "/go", "");
  running.join();
  std::size_t calls = 0;
  for (std::size_t at = 0;
       (at = result.output.find("callback ", at)) != std::string::npos; ++at)
    ++calls;
  EXPECT_EQ(calls, 2u) << result.output;  // "callback registered" and one
  EXPECT_NE(result.output.find("callback \\xce\\xc2\\xb6\\xc8 42.5\\x20C\n"),
            std::string::npos)
      << result.output;
}

INSTANTIATE_TEST_SUITE_P(Targets, CommandTargetTest,
                         ::testing::ValuesIn(Targets()), TargetName);

// The host keeps running while its gateway restarts and while none listens;
// the broker still holds a point of the host's earlier life. The new gateway
// asks the station for a snapshot as soon as it hears from it.
TEST_F(CommandsTest, ARestartedGatewayAsksForTheSnapshotAndClearsWhatVanished) {
  StartGateway({"--quiet", "--keys", keys_, "--state-dir", dir_.path()});
  const int port = gatewayPort_;
  Subscriber watcher(broker_->port());
  std::unique_ptr<HostDir> host = KeyedStation(Targets().front());
  HostResult result;
  std::thread running =
      Run(*host, {"init", "round", "P",       "3",    "1",     "round", "P",
                  "3",    "1",     "waitfor", "down", "60000", "round", "P",
                  "3",    "2",     "waitfor", "up",   "60000", "round", "P",
                  "3",    "3",     "waitfor", "done", "60000", "uninit"},
          &result);
  EXPECT_TRUE(watcher.WaitFor([](const Tree& last, const auto&) {
    return Holds(last, kStation + "points/P2", "1");
  }));
  gateway_->Signal(SIGTERM);
  EXPECT_EQ(gateway_->ExitStatus(), 0);
  watcher.Publish(kStation + "points/X", "old", true);
  WriteFile(host->path() + "/down", "");
  std::this_thread::sleep_for(milliseconds(300));  // the round goes nowhere
  StartGateway({"--quiet", "--keys", keys_, "--state-dir", dir_.path(),
                "--port", std::to_string(port)});
  EXPECT_TRUE(watcher.WaitFor([](const Tree& last, const auto&) {
    return Holds(last, "pelmora/gateway/status", "online");
  }));
  WriteFile(host->path() + "/up", "");
  EXPECT_TRUE(watcher.WaitFor([](const Tree& last, const auto&) {
    return Holds(last, kStation + "commands/results",
                 "\"command\":\"snapshot\",\"name\":\"\",\"state\":"
                 "\"delivered\"");
  }));
  EXPECT_TRUE(watcher.WaitFor([](const Tree& last, const auto&) {
    return last.count(kStation + "points/X") &&
           last.at(kStation + "points/X").empty();
  }));
  WriteFile(host->path() + "/done", "");
  running.join();
  EXPECT_EQ(Subscriber(broker_->port()).Points(),
            (Tree{{kStation + "points/P0", "3"},
                  {kStation + "points/P1", "3"},
                  {kStation + "points/P2", "3"}}));
}

// pelmora-cmd is the station's server for the moment: it binds the port the
// station sends to and learns the rest from the station.
TEST_F(CommandsTest, PelmoraCmdWritesOnceAndSaysDelivered) {
  gatewayPort_ = FreeTcpPort();
  ChildProcess cmd(
      {"--mac", "02:00:00:00:00:0d", "--key-file", keys_, "--state-dir",
       dir_.path(), "--bind", "127.0.0.1", "--port",
       std::to_string(gatewayPort_), "--wait", "20", "write", "SP 1", "7"},
      {PELMORA_CMD_BINARY});
  cmd.ReadOutput("waiting on");
  // Neither a reply its key did not sign nor a header alone tells where the
  // station is.
  From forger("127.0.0.5", gatewayPort_);
  wire::StationKey otherKey{};
  forger.SendBytes(StationReply(otherKey, From::kMac, {}, 0, 0, 0));
  Bytes header = BuildDatagram(kItem, {"A|1"}, From::kMac);
  header.resize(32);
  header[12] = 0;
  forger.SendBytes(header);
  std::unique_ptr<HostDir> host = KeyedStation(Targets().front());
  HostResult result;
  std::thread running = Run(*host,
                            {"init", "callback", "round", "P", "3", "1",
                             "waitfor", "go", "60000", "uninit"},
                            &result);
  const std::string output = cmd.ReadOutput("delivered\n");
  EXPECT_EQ(cmd.ExitStatus(), 0) << output;
  EXPECT_NE(output.find("reply refused sequence "), std::string::npos)
      << output;  // the session, learned from the refusal
  EXPECT_NE(output.find("02-00-00-00-00-0D at 127.0.0.1:"), std::string::npos)
      << output;
  WriteFile(host->path() + "/go", "");
  running.join();
  EXPECT_NE(result.output.find("callback SP\\x201 7\n"), std::string::npos)
      << result.output;
}

// Every command line pelmora-cmd cannot act on ends it with status 2
// before it binds anything; an address it cannot listen on, with 1.
TEST(PelmoraCmd, RefusesWhatItCannotActOn) {
  TempDir dir;
  const std::string keys = dir.path() + "/keys";
  WriteFile(keys, "02-00-00-00-00-0D " + kKeyHex + "\n");
  ::chmod(keys.c_str(), 0600);
  // The station's MAC and key file, then `more`.
  auto station = [&keys, &dir](std::vector<std::string> more) {
    more.insert(more.begin(), {"--mac", "02-00-00-00-00-0D", "--key-file", keys,
                               "--state-dir", dir.path()});
    return more;
  };
  const struct {
    std::vector<std::string> args;
    int status;
  } cases[] = {
      {{"--help"}, 0},
      {station({}), 2},
      {station({"write", "A"}), 2},
      {station({"snapshot", "now"}), 2},
      {{"--key-file", keys, "snapshot"}, 2},
      {{"--mac", "02-00-00-00-00-0D", "snapshot"}, 2},
      {{"--mac", "02-00-00-00-00", "--key-file", keys, "snapshot"}, 2},
      {{"--mac", "02-00-00-00-00-0E", "--key-file", keys, "snapshot"}, 2},
      {{"--mac", "02-00-00-00-00-0D", "--key-file", dir.path(), "snapshot"}, 2},
      {station({"--to", "127.0.0.1", "snapshot"}), 2},
      {station({"--to", "127.0.0.1:0", "snapshot"}), 2},
      {station({"--to", "127.0.0.01:7000", "snapshot"}), 2},
      {station({"--port", "65536", "snapshot"}), 2},
      {station({"--wait", "0", "snapshot"}), 2},
      {station({"--verbose", "snapshot"}), 2},
      {station({"snapshot", "--wait"}), 2},
      {station({"--bind", "127.0.0.01", "snapshot"}), 1},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const std::string& arg : c.args) line += arg + " ";
    ChildProcess cmd(c.args, {PELMORA_CMD_BINARY});
    cmd.ReadOutput();
    EXPECT_EQ(cmd.ExitStatus(), c.status) << line;
  }
}

// A station of the test's own that holds the key: it answers each signed
// snapshot request with its whole snapshot, then "delivered", as the
// plug-in does, and counts the requests; a write it answers "delivered"
// and keeps, once for each sequence.
class KeyedDouble {
 public:
  using Snapshot = std::function<std::vector<std::vector<std::string>>()>;
  KeyedDouble(int port, std::uint8_t last, Snapshot snapshot)
      : KeyedDouble(port, {2, 0, 0, 0, 1, last}, std::move(snapshot)) {}
  KeyedDouble(int port, const std::array<std::uint8_t, 6>& mac,
              Snapshot snapshot)
      : station_("127.0.0.1", port, mac),
        snapshot_(std::move(snapshot)),
        serving_([this] { Serve(); }) {}
  ~KeyedDouble() {
    stop_ = true;
    serving_.join();
  }
  From& station() { return station_; }
  int requests() const { return requests_; }
  // The writes taken, "NAME=VALUE", in order.
  std::vector<std::string> writes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
  }

 private:
  void Serve() {
    wire::StationKey key;
    wire::ParseStationKey(kKeyHex, &key);
    std::vector<std::uint8_t> bytes;
    while (!stop_) {
      wire::SignedDatagram command;
      if (!station_.Take(&bytes, 50) ||
          !wire::ParseSignedDatagram(bytes.data(), bytes.size(), &command,
                                     nullptr)) {
        continue;
      }
      if (command.command == wire::kCommandWrite) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (sequences_.insert(command.sequence).second)
          writes_.push_back(command.name + "=" + command.value);
      } else {
        ++requests_;
        for (const auto& records : snapshot_())
          station_.Send(kSnapshot, records);
      }
      station_.SendBytes(StationReply(
          key, station_.mac(), {1, 2, 3, 4, 5, 6, 7, 8}, command.sequence, 2, 0,
          wire::DigestOf(bytes.data(), bytes.size())));
    }
  }

  From station_;
  Snapshot snapshot_;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::mutex mutex_;
  std::vector<std::string> writes_;
  std::set<std::uint32_t> sequences_;
  std::thread serving_;
};

// Forty stations of forty points snapshot again while the gateway is
// stopped, and the system drops part of their datagrams. No point goes:
// the incomplete snapshots are counted and logged, the three stations with
// keys are asked again and complete, the others may be stale. A first
// snapshot brings no request; a later clean one still clears what it
// lacks.
TEST_F(GatewayTest, SnapshotsThatLostDatagramsClearNothingAndAreAskedAgain) {
  constexpr int kStations = 40;
  constexpr int kKeyed = 3;
  const TempDir dir;
  const std::string keys = dir.path() + "/keys";
  auto mac = [](int station) {
    char text[24];
    std::snprintf(text, sizeof text, "02-00-00-00-01-%02X", station);
    return std::string(text);
  };
  std::string keyLines;
  for (int i = 0; i < kKeyed; ++i) keyLines += mac(i) + " " + kKeyHex + "\n";
  WriteFile(keys, keyLines);
  ::chmod(keys.c_str(), 0600);
  // The broker hands a new subscriber every point; the gateway has a
  // buffer of a few dozen datagrams, which makes drops certain.
  broker_ = std::make_unique<Broker>(
      false, "allow_anonymous true\nmax_queued_messages 0\n");
  StartGateway({"--keys", keys, "--state-dir", dir.path(), "--rcvbuf", "65536",
                "--silence", "60"});
  Subscriber watcher(broker_->port());
  // Four datagrams of ten points each, all of value `value`, `points` in
  // all.
  auto snapshot = [](int value, int points = 40) {
    std::vector<std::vector<std::string>> datagrams(4);
    for (int i = 0; i < points; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "P%02d/", i);
      datagrams[i / 10].push_back(name + std::string(60, 'x') + "|" +
                                  std::to_string(value));
    }
    return datagrams;
  };
  std::atomic<int> keyedValue{1};
  std::vector<std::unique_ptr<KeyedDouble>> keyed;
  for (int i = 0; i < kKeyed; ++i) {
    keyed.push_back(std::make_unique<KeyedDouble>(
        gatewayPort_, std::uint8_t(i), [&] { return snapshot(keyedValue); }));
  }
  From others("127.0.0.1", gatewayPort_);
  auto send = [&](int station, const std::vector<std::string>& records) {
    if (station < kKeyed) {
      keyed[station]->station().Send(kSnapshot, records);
    } else {
      others.SendAs({2, 0, 0, 0, 1, std::uint8_t(station)}, kSnapshot, records);
    }
  };
  auto point = [&](int station, int i) {
    char level[16];
    std::snprintf(level, sizeof level, "P%02d%%2F", i);
    return "pelmora/" + mac(station) + "/points/" + level +
           std::string(60, 'x');
  };
  auto status = [&](int station, const char* text) {
    return watcher.WaitFor([&](const Tree& last, const auto&) {
      return Holds(last, "pelmora/" + mac(station) + "/status", text);
    });
  };

  // The first snapshots, a station at a time, as the buffer is small;
  // station 0 starts with a change instead, and is asked for one.
  for (int station = 1; station < kStations; ++station) {
    for (const auto& records : snapshot(1)) send(station, records);
    ASSERT_TRUE(watcher.WaitFor([&](const Tree& last, const auto&) {
      return last.count(point(station, 39)) != 0;
    })) << station;
  }
  keyed[0]->station().Send(kItem, {"P00/" + std::string(60, 'x') + "|1"});
  for (int station = 0; station < kStations; ++station)
    ASSERT_TRUE(status(station, "\"complete\":true")) << station;
  EXPECT_EQ(keyed[0]->requests(), 1);
  EXPECT_EQ(keyed[1]->requests(), 0);  // its first datagram was a snapshot
  EXPECT_EQ(keyed[2]->requests(), 0);

  // Stopped, the gateway reads nothing: the buffer takes the first
  // datagrams and the system drops the rest.
  gateway_->Signal(SIGSTOP);
  keyedValue = 2;
  const auto second = snapshot(2);
  send(1, second[0]);
  send(2, second[0]);
  for (int station = kKeyed; station < kStations; ++station)
    for (const auto& records : second) send(station, records);
  for (int station = 1; station < kKeyed; ++station)
    for (std::size_t i = 1; i < second.size(); ++i) send(station, second[i]);
  gateway_->Signal(SIGCONT);

  for (int station = 1; station < kKeyed; ++station) {
    EXPECT_TRUE(watcher.WaitFor([&](const Tree& last, const auto&) {
      return keyed[station]->requests() == 1 &&
             Holds(last, "pelmora/" + mac(station) + "/status",
                   "\"complete\":true") &&
             Holds(last, point(station, 39), "2");
    })) << station;
  }
  EXPECT_TRUE(watcher.WaitFor([&](const Tree& last, const auto&) {
    return !Holds(last, "pelmora/gateway/stats", "\"snapshots_incomplete\":0,");
  }));
  EXPECT_NE(gateway_->ReadErrors("lost while").find("lost while"),
            std::string::npos);
  EXPECT_EQ(Subscriber(broker_->port()).Points().size(),
            std::size_t{kStations * 40});

  // A clean snapshot without P39 clears it.
  for (const auto& records : snapshot(3, 39)) send(kKeyed, records);
  EXPECT_TRUE(watcher.WaitFor([&](const Tree& last, const auto&) {
    const auto cleared = last.find(point(kKeyed, 39));
    return cleared != last.end() && cleared->second.empty();
  }));
  EXPECT_NE(gateway_->ReadErrors("cleared 1 point of " + mac(kKeyed))
                .find("cleared 1 point of " + mac(kKeyed)),
            std::string::npos);
}

// Writes the gateway will not carry, by every rule before a command goes:
// each gets its result, none reaches the station. A write published with
// the retain flag arrives live unflagged and acts once; the broker hands it
// on, flagged, to the next gateway's subscription, which leaves it alone;
// the empty message that clears it is no write.
TEST_F(CommandsTest, WritesThatCannotGoAreRefusedAndARetainedOneActsOnce) {
  WriteFile(keys_, "02-00-00-00-01-07 " + kKeyHex + "\n");
  StartGateway({"--quiet", "--keys", keys_, "--state-dir", dir_.path()});
  const int port = gatewayPort_;
  Subscriber watcher(broker_->port());
  KeyedDouble station(gatewayPort_, 7, [] {
    return std::vector<std::vector<std::string>>{{"A|1"}};
  });
  station.station().Send(kItem, {"A|1"});
  const std::string topic = "pelmora/02-00-00-00-01-07/";
  ASSERT_TRUE(watcher.WaitFor([&](const Tree& last, const auto&) {
    return Holds(last, topic + "commands/results", "\"state\":\"delivered\"");
  }));  // its snapshot, asked for
  const struct {
    std::string level, payload, reason;
  } cases[] = {
      {"A", std::string(2 << 20, '1'),
       "a payload of 2097152 bytes, over 1,023: not read"},
      {"A", "{\"id\":\"x\",\"value\":\"1\",\"unit\":\"C\"}", "ambiguous"},
      {"A", "{\"value\":42.5}", "ambiguous"},
      {"A", std::string("1\0", 2), "the name or value holds a NUL byte"},
      {"A%001", "1", "the name or value holds a NUL byte"},
  };
  for (const auto& c : cases) {
    watcher.Publish(topic + "commands/write/" + c.level, c.payload);
    EXPECT_TRUE(watcher.WaitFor([&](const Tree& last, const auto&) {
      return Holds(last, topic + "commands/results",
                   "\"state\":\"refused\",\"reason\":\"" + c.reason);
    })) << c.payload.substr(0, 40);
  }
  watcher.Publish(topic + "commands/write/A", "7", true);
  EXPECT_TRUE(watcher.WaitFor([&](const Tree& last, const auto&) {
    return Holds(last, topic + "commands/results", "\"state\":\"delivered\"");
  }));
  gateway_->Signal(SIGTERM);
  EXPECT_EQ(gateway_->ExitStatus(), 0);
  auto gatewayIs = [&](const char* status) {
    return watcher.WaitFor([&](const Tree& last, const auto&) {
      return Holds(last, "pelmora/gateway/status", status);
    });
  };
  EXPECT_TRUE(gatewayIs("offline"));
  StartGateway({"--quiet", "--keys", keys_, "--state-dir", dir_.path(),
                "--port", std::to_string(port)});
  EXPECT_TRUE(gatewayIs("online"));
  station.station().Send(kItem, {"A|7"});
  watcher.Publish(topic + "commands/write/A",
                  "{\"id\":\"after\",\"value\":\"8\"}");
  EXPECT_TRUE(watcher.WaitFor([&](const Tree& last, const auto&) {
    return Holds(last, topic + "commands/results",
                 "{\"id\":\"after\",\"command\":\"write\",\"name\":\"A\","
                 "\"state\":\"delivered\"");
  }));
  // What clears the retained write arrives live too, and writes nothing.
  watcher.Publish(topic + "commands/write/A", "", true);
  EXPECT_TRUE(watcher.WaitFor([&](const Tree& last, const auto&) {
    return Holds(last, topic + "commands/results",
                 "\"state\":\"refused\",\"reason\":\"an empty payload");
  }));
  EXPECT_EQ(station.writes(), (std::vector<std::string>{"A=7", "A=8"}));
}

// The fenced block of the gateway's guide whose first line is "# `file`",
// without that line; empty when there is none.
std::string GuideBlock(const std::string& file) {
  const std::string guide = ReadFile(PELMORA_GATEWAY_GUIDE);
  const std::size_t start = guide.find("```\n# " + file + "\n");
  if (start == std::string::npos) return "";
  const std::size_t body = guide.find('\n', start + 4) + 1;
  return guide.substr(body, guide.find("```", body) - body);
}

// The guide's mosquitto configuration, as it stands but for its listener
// (loopback and a free port here) and its folder: the gateway's user
// publishes the tree, operator A writes its station and is refused
// another's, an anonymous client is refused.
TEST_F(CommandsTest, TheGuidesBrokerLetsAnOperatorWriteItsOwnStationAlone) {
  const std::string conf = GuideBlock("/etc/mosquitto/conf.d/pelmora.conf");
  const std::string acl = GuideBlock("/etc/mosquitto/pelmora.acl");
  ASSERT_NE(conf.find("allow_anonymous false"), std::string::npos) << conf;
  ASSERT_NE(acl.find("user operator-a"), std::string::npos) << acl;
  std::string listener;
  std::istringstream lines(conf);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("listener", 0) == 0) continue;
    listener += std::regex_replace(line, std::regex("/etc/mosquitto/"),
                                   dir_.path() + "/") +
                "\n";
  }
  WriteFile(dir_.path() + "/pelmora.acl", acl);
  const std::string passwords = dir_.path() + "/pelmora.passwd";
  for (const char* user : {"pelmora-gateway", "operator-a"}) {
    std::vector<std::string> args = {"-b", passwords, user,
                                     std::string(user) + "-pw"};
    if (user[0] == 'p') args.insert(args.begin(), "-c");
    ChildProcess passwd(args, {"/usr/bin/mosquitto_passwd"});
    ASSERT_EQ(passwd.ExitStatus(), 0);
  }
  broker_ = std::make_unique<Broker>(false, listener);
  WriteFile(keys_, "02-00-00-00-00-0A " + kKeyHex + "\n02-00-00-00-00-0B " +
                       kKeyHex + "\n");
  const std::string password = dir_.path() + "/gateway.password";
  WriteFile(password, "pelmora-gateway-pw\n");
  StartGateway({"--quiet", "--keys", keys_, "--state-dir", dir_.path(),
                "--user", "pelmora-gateway", "--password-file", password});
  Subscriber operatorA(broker_->port(), nullptr, "operator-a", "operator-a-pw");
  auto snapshot = [] { return std::vector<std::vector<std::string>>{{"A|1"}}; };
  KeyedDouble a(gatewayPort_, {2, 0, 0, 0, 0, 0x0A}, snapshot);
  KeyedDouble b(gatewayPort_, {2, 0, 0, 0, 0, 0x0B}, snapshot);
  a.station().Send(kItem, {"A|1"});
  b.station().Send(kItem, {"A|1"});
  const std::string stationA = "pelmora/02-00-00-00-00-0A/";
  const std::string stationB = "pelmora/02-00-00-00-00-0B/";
  ASSERT_TRUE(operatorA.WaitFor([&](const Tree& last, const auto&) {
    return Holds(last, stationA + "commands/results", "delivered") &&
           Holds(last, stationB + "commands/results", "delivered");
  }));  // the gateway's snapshot requests: it publishes the tree
  operatorA.Publish(stationB + "commands/write/A",
                    "{\"id\":\"b\",\"value\":\"2\"}");
  operatorA.Publish(stationA + "commands/write/A",
                    "{\"id\":\"a\",\"value\":\"1\"}");
  EXPECT_TRUE(operatorA.WaitFor([&](const Tree& last, const auto&) {
    return Holds(last, stationA + "commands/results",
                 "{\"id\":\"a\",\"command\":\"write\",\"name\":\"A\","
                 "\"state\":\"delivered\"");
  }));
  EXPECT_EQ(a.writes(), std::vector<std::string>{"A=1"});
  EXPECT_EQ(b.writes(), std::vector<std::string>{});
  EXPECT_EQ(operatorA.First(stationB + "commands/results").find("\"id\":\"b\""),
            std::string::npos);
  // No password, no connection.
  mosquitto* anonymous = mosquitto_new(nullptr, true, nullptr);
  EXPECT_EQ(mosquitto_connect(anonymous, "127.0.0.1", broker_->port(), 30),
            MOSQ_ERR_SUCCESS);
  int refused = MOSQ_ERR_SUCCESS;
  for (int i = 0; i < 100 && refused == MOSQ_ERR_SUCCESS; ++i)
    refused = mosquitto_loop(anonymous, 50, 1);
  EXPECT_NE(refused, MOSQ_ERR_SUCCESS);
  mosquitto_destroy(anonymous);
}

}  // namespace
}  // namespace pelmora::testing

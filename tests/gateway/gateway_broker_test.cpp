// Real hosts with the real plug-in, two stations with their own MACs, send
// to the real gateway, which publishes to a real mosquitto broker on
// loopback; a subscriber of our own reads what the broker holds.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "host_run.h"
#include "recv_test_support.h"

namespace pelmora::testing {
namespace {

using Tree = std::map<std::string, std::string>;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr char kMosquitto[] = "/usr/sbin/mosquitto";

int FreeTcpPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// A mosquitto broker on a loopback port, without persistence: a restart
// loses every retained message it held.
class Broker {
 public:
  Broker() : port_(FreeTcpPort()) {
    std::ofstream(dir_.path() + "/mosquitto.conf")
        << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n"
        << "log_dest none\n";
    Start();
  }
  void Start() {
    process_ = std::make_unique<recv_test::Tool>(
        std::vector<std::string>{"-c", dir_.path() + "/mosquitto.conf"},
        std::vector<std::string>{kMosquitto});
    for (int i = 0; i < 100 && !Accepts(); ++i)
      std::this_thread::sleep_for(milliseconds(50));
  }
  void Stop() { process_.reset(); }
  int port() const { return port_; }

 private:
  bool Accepts() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool accepted = ::connect(fd, reinterpret_cast<sockaddr*>(&address),
                                    sizeof address) == 0;
    ::close(fd);
    return accepted;
  }

  TempDir dir_;
  int port_;
  std::unique_ptr<recv_test::Tool> process_;
};

// Subscribes to everything under pelmora/ and keeps the last payload of
// each topic and every event in order.
class Subscriber {
 public:
  explicit Subscriber(int port) {
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    mosquitto_message_callback_set(client_, &Subscriber::OnMessage);
    EXPECT_EQ(mosquitto_connect(client_, "127.0.0.1", port, 30),
              MOSQ_ERR_SUCCESS);
    mosquitto_subscribe(client_, nullptr, "pelmora/#", 1);
    mosquitto_loop_start(client_);
  }
  ~Subscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }

  // Waits up to 20 s for `done` to hold; true if it did.
  bool WaitFor(
      const std::function<bool(const Tree& last,
                               const std::vector<std::string>& events)>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, seconds(20),
                             [&] { return done(last_, events_); });
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
  static void OnMessage(mosquitto*, void* self,
                        const mosquitto_message* message) {
    auto* s = static_cast<Subscriber*>(self);
    const std::string topic = message->topic;
    const std::string payload(static_cast<const char*>(message->payload),
                              static_cast<std::size_t>(message->payloadlen));
    std::lock_guard<std::mutex> lock(s->mutex_);
    s->last_[topic] = payload;
    if (topic.size() > 7 && topic.compare(topic.size() - 7, 7, "/events") == 0)
      s->events_.push_back(payload);
    ++s->count_;
    s->changed_.notify_all();
  }

  mosquitto* client_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Tree last_;
  std::vector<std::string> events_;
  std::size_t count_ = 0;
};

class GatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kMosquitto))
      GTEST_SKIP() << "no mosquitto broker here (scripts/setup.sh installs it)";
    broker_ = std::make_unique<Broker>();
    gateway_ = std::make_unique<recv_test::Tool>(
        std::vector<std::string>{"--port", "0", "--broker-port",
                                 std::to_string(broker_->port()), "--settle",
                                 "300", "--silence", "2", "--reconnect-max",
                                 "1", "--stats", "1", "--quiet"},
        std::vector<std::string>{PELMORA_GATEWAY_BINARY});
    gatewayPort_ = gateway_->ListeningPort();
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
  std::unique_ptr<recv_test::Tool> gateway_;
  int gatewayPort_ = 0;
};

TEST_F(GatewayTest, TwoStationsLandInTheRetainedTreeWithTheirEventsInOrder) {
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

}  // namespace
}  // namespace pelmora::testing

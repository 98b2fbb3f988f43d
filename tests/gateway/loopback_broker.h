// A real mosquitto broker on loopback, datagrams from a loopback address of
// the test's choice and a client of the test's own: what the gateway's
// tests run the gateway between.
#ifndef PELMORA_TESTS_GATEWAY_LOOPBACK_BROKER_H_
#define PELMORA_TESTS_GATEWAY_LOOPBACK_BROKER_H_

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/datagram_bytes.h"
#include "support/mosquitto_port.h"

namespace pelmora::testing {

// A mosquitto broker on a loopback port. Without persistence a restart
// loses every retained message it held; with it, a broker stopped by a
// signal keeps them and its clients' sessions. `listener` adds to the
// listener's lines (TLS, a password file).
class Broker {
 public:
  explicit Broker(bool persistence = false, const std::string& listener = "")
      : port_(FreeTcpPort()) {
    std::ofstream config(dir_.path() + "/mosquitto.conf");
    config << "per_listener_settings true\n"
           << "listener " << port_ << " 127.0.0.1\n"
           << (listener.empty() ? "allow_anonymous true\n" : listener)
           << "log_dest none\n"
           // Run as root, it would become a user who cannot read the
           // test's files.
           << "user root\n";
    if (persistence) {
      config << "persistence true\npersistence_location " << dir_.path()
             << "/\n";
    }
    config.close();
    Start();
  }
  void Start() {
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"-c", dir_.path() + "/mosquitto.conf"},
        std::vector<std::string>{kMosquitto});
    for (int i = 0; i < 100 && !Accepts(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Killed: it saves nothing.
  void Stop() { process_.reset(); }
  // Stopped as a service is: it saves what it holds first.
  void Shutdown() {
    process_->Signal(SIGTERM);
    process_->ExitStatus();
    process_.reset();
  }
  void Signal(int number) { process_->Signal(number); }
  int port() const { return port_; }
  const std::string& dir() const { return dir_.path(); }

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
  std::unique_ptr<ChildProcess> process_;
};

// Datagrams from a loopback address of the test's choice, as a station or
// someone who forges one would send them.
class From {
 public:
  From(const char* address, int port,
       const std::array<std::uint8_t, 6>& mac = kMac)
      : fd_(::socket(AF_INET, SOCK_DGRAM, 0)), mac_(mac) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &local.sin_addr);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local),
              0);
    to_.sin_family = AF_INET;
    to_.sin_port = htons(static_cast<std::uint16_t>(port));
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  ~From() { ::close(fd_); }
  void Send(std::uint8_t kind, const std::vector<std::string>& records) {
    SendBytes(BuildDatagram(kind, records, mac_));
  }
  // As a station of another MAC.
  void SendAs(const std::array<std::uint8_t, 6>& mac, std::uint8_t kind,
              const std::vector<std::string>& records) {
    SendBytes(BuildDatagram(kind, records, mac));
  }
  void SendBytes(const Bytes& bytes) {
    EXPECT_EQ(::sendto(fd_, bytes.data(), bytes.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to_), sizeof to_),
              static_cast<ssize_t>(bytes.size()));
  }
  // Whether anything came back within `ms`.
  bool Answered(int ms) {
    pollfd wait{fd_, POLLIN, 0};
    return ::poll(&wait, 1, ms) > 0;
  }
  // What came back, waiting up to `ms`; false when nothing did.
  bool Take(std::vector<std::uint8_t>* bytes, int ms) {
    if (!Answered(ms)) return false;
    bytes->resize(65536);
    const ssize_t got = ::recv(fd_, bytes->data(), bytes->size(), 0);
    bytes->resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return got > 0;
  }
  const std::array<std::uint8_t, 6>& mac() const { return mac_; }
  static constexpr std::array<std::uint8_t, 6> kMac = {2, 0, 0, 0, 0, 0x0D};

 private:
  int fd_;
  std::array<std::uint8_t, 6> mac_;
  sockaddr_in to_{};
};

inline constexpr std::uint8_t kItem = 0x01;
inline constexpr std::uint8_t kEvent = 0x02;
inline constexpr std::uint8_t kSnapshot = 0xFF;

// The real gateway on a free UDP port, publishing to the broker on
// `brokerPort`, with the tests' short settle, silence and reconnection
// times and then `more` options; its UDP port in `*udpPort`, 0 when it
// did not start.
inline std::unique_ptr<ChildProcess> StartGatewayTool(
    int brokerPort, const std::vector<std::string>& more, int* udpPort) {
  std::vector<std::string> args = {
      "--port",          "0",   "--broker-port", std::to_string(brokerPort),
      "--settle",        "300", "--silence",     "2",
      "--reconnect-max", "1"};
  args.insert(args.end(), more.begin(), more.end());
  auto gateway = std::make_unique<ChildProcess>(
      args, std::vector<std::string>{PELMORA_GATEWAY_BINARY});
  *udpPort = gateway->ListeningPort();
  return gateway;
}

// A client of the test's own on the broker, subscribed to `filter` at QoS 1,
// that hands each message to `received` on its network thread. With an
// `id`, its session outlives a broker restart, and it reconnects by itself.
class TestClient {
 public:
  using Received =
      std::function<void(const std::string& topic, std::string payload)>;
  // `user` and `password`, when given, are the client's on the broker.
  TestClient(int port, const char* filter, const char* id, Received received,
             const char* user = nullptr, const char* password = nullptr)
      : received_(std::move(received)) {
    mosquitto_lib_init();
    client_ = mosquitto_new(id, id == nullptr, this);
    if (user != nullptr) mosquitto_username_pw_set(client_, user, password);
    mosquitto_message_callback_set(client_, &TestClient::OnMessage);
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    EXPECT_EQ(mosquitto_connect(client_, "127.0.0.1", port, 30),
              MOSQ_ERR_SUCCESS);
    mosquitto_subscribe(client_, nullptr, filter, 1);
    mosquitto_loop_start(client_);
  }
  ~TestClient() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  void Publish(const std::string& topic, const std::string& payload,
               bool retain = false) {
    EXPECT_EQ(mosquitto_publish(client_, nullptr, topic.c_str(),
                                static_cast<int>(payload.size()),
                                payload.data(), 1, retain),
              MOSQ_ERR_SUCCESS);
  }

 private:
  static void OnMessage(mosquitto*, void* self,
                        const mosquitto_message* message) {
    static_cast<TestClient*>(self)->received_(
        message->topic,
        std::string(static_cast<const char*>(message->payload),
                    static_cast<std::size_t>(message->payloadlen)));
  }

  Received received_;
  mosquitto* client_;
};

}  // namespace pelmora::testing

#endif  // PELMORA_TESTS_GATEWAY_LOOPBACK_BROKER_H_

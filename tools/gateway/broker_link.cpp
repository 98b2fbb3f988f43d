#include "broker_link.h"

#include <mosquitto.h>

#include <chrono>
#include <thread>

namespace pelmora::gateway {

namespace {

constexpr int kQos = 1;
// Enough to keep a loopback or LAN broker busy; the rest waits in the
// gateway's own queue, where the limit and the drop counter apply.
constexpr std::uint64_t kMaxAwaitingAck = 1000;
constexpr int kFirstReconnectDelaySeconds = 1;

// libmosquitto's global set-up, once per process.
struct LibraryUse {
  LibraryUse() { mosquitto_lib_init(); }
  ~LibraryUse() { mosquitto_lib_cleanup(); }
};

}  // namespace

BrokerLink::BrokerLink(Options options) : options_(std::move(options)) {
  static LibraryUse library;
}

BrokerLink::~BrokerLink() {
  if (client_ == nullptr) return;
  if (started_) {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, true);
  }
  mosquitto_destroy(client_);
}

bool BrokerLink::Start(std::string* error) {
  client_ = mosquitto_new(options_.clientId.c_str(), true, this);
  if (client_ == nullptr) {
    *error = "cannot create an MQTT client";
    return false;
  }
  static constexpr char kOffline[] = "offline";
  int result = mosquitto_will_set(client_, kGatewayStatusTopic,
                                  sizeof kOffline - 1, kOffline, kQos, true);
  if (result == MOSQ_ERR_SUCCESS && !options_.user.empty()) {
    result = mosquitto_username_pw_set(
        client_, options_.user.c_str(),
        options_.password.empty() ? nullptr : options_.password.c_str());
  }
  if (result == MOSQ_ERR_SUCCESS && !options_.caFile.empty()) {
    result = mosquitto_tls_set(client_, options_.caFile.c_str(), nullptr,
                               nullptr, nullptr, nullptr);
  }
  if (result == MOSQ_ERR_SUCCESS) {
    result = mosquitto_reconnect_delay_set(
        client_, kFirstReconnectDelaySeconds,
        static_cast<unsigned>(options_.reconnectMaxSeconds), true);
  }
  if (result != MOSQ_ERR_SUCCESS) {
    *error = mosquitto_strerror(result);
    return false;
  }
  mosquitto_connect_callback_set(client_, &BrokerLink::OnConnect);
  mosquitto_disconnect_callback_set(client_, &BrokerLink::OnDisconnect);
  mosquitto_publish_callback_set(client_, &BrokerLink::OnPublish);
  // A broker that is not there yet is not an error: the loop retries.
  mosquitto_connect_async(client_, options_.host.c_str(), options_.port,
                          options_.keepAliveSeconds);
  result = mosquitto_loop_start(client_);
  if (result != MOSQ_ERR_SUCCESS) {
    *error = mosquitto_strerror(result);
    return false;
  }
  started_ = true;
  return true;
}

void BrokerLink::Publish(Message message) {
  // Whatever a retained value says now, the state published on the next
  // connection says too. A clearing stays queued: the broker may still hold
  // the value it removes.
  if (!connected_ && message.retain && !message.payload.empty()) return;
  if (queue_.size() >= options_.queueLimit) {
    queue_.pop_front();
    ++dropped_;
  }
  queue_.push_back(std::move(message));
}

void BrokerLink::Pump(
    const std::function<void(std::vector<Message>*)>& retainedState) {
  if (!connected_) return;
  if (cameUp_.exchange(false)) {
    // Whatever was handed over before is in libmosquitto's hands or lost.
    handedOver_ = acknowledged_;
    std::deque<Message> waiting;
    waiting.swap(queue_);
    queue_.push_back({kGatewayStatusTopic, "online", true});
    for (const Message& message : waiting) {
      if (message.retain && message.payload.empty()) queue_.push_back(message);
    }
    std::vector<Message> state;
    retainedState(&state);
    queue_.insert(queue_.end(), state.begin(), state.end());
    for (Message& message : waiting) {
      if (!message.retain) queue_.push_back(std::move(message));
    }
  }
  while (!queue_.empty() && AwaitingAck() < kMaxAwaitingAck) {
    if (!HandOver(queue_.front())) break;
    queue_.pop_front();
  }
}

void BrokerLink::Stop(int graceMs) {
  if (!started_) return;
  Publish({kGatewayStatusTopic, "offline", true});
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
  while (connected_ && std::chrono::steady_clock::now() < deadline) {
    Pump([](std::vector<Message>*) {});
    if (queue_.empty() && AwaitingAck() == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, false);
  started_ = false;
}

std::size_t BrokerLink::backlog() const {
  return queue_.size() + static_cast<std::size_t>(AwaitingAck());
}

std::uint64_t BrokerLink::AwaitingAck() const {
  // Acknowledgements of what was handed over before a reconnection may
  // still come in after the count was reset.
  const std::uint64_t acknowledged = acknowledged_;
  return handedOver_ > acknowledged ? handedOver_ - acknowledged : 0;
}

bool BrokerLink::HandOver(const Message& message) {
  const int result =
      mosquitto_publish(client_, nullptr, message.topic.c_str(),
                        static_cast<int>(message.payload.size()),
                        message.payload.data(), kQos, message.retain);
  if (result != MOSQ_ERR_SUCCESS) return false;
  ++handedOver_;
  return true;
}

void BrokerLink::OnConnect(mosquitto*, void* self, int result) {
  auto* link = static_cast<BrokerLink*>(self);
  if (result != 0) return;
  link->cameUp_ = true;
  link->connected_ = true;
}

void BrokerLink::OnDisconnect(mosquitto*, void* self, int) {
  static_cast<BrokerLink*>(self)->connected_ = false;
}

void BrokerLink::OnPublish(mosquitto*, void* self, int) {
  ++static_cast<BrokerLink*>(self)->acknowledged_;
}

}  // namespace pelmora::gateway

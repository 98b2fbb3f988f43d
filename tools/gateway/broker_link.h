// The gateway's connection to the MQTT broker, through libmosquitto.
//
// libmosquitto's own thread connects, reconnects with a doubling back-off
// and calls back here; everything else runs on the gateway's main thread.
// While the broker is away, messages wait in a bounded queue; retained
// values do not wait, because every (re)connection starts with the whole
// retained state, which supersedes them.
#ifndef PELMORA_TOOLS_GATEWAY_BROKER_LINK_H_
#define PELMORA_TOOLS_GATEWAY_BROKER_LINK_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "station_table.h"

struct mosquitto;

namespace pelmora::gateway {

class BrokerLink {
 public:
  struct Options {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string clientId;
    std::string caFile;  // TLS when set
    std::string user;
    std::string password;
    int keepAliveSeconds = 30;
    int reconnectMaxSeconds = 30;
    std::size_t queueLimit = 100000;
  };

  explicit BrokerLink(Options options);
  ~BrokerLink();
  BrokerLink(const BrokerLink&) = delete;
  BrokerLink& operator=(const BrokerLink&) = delete;

  // Sets the will, the credentials and TLS, and starts connecting in the
  // background; false with `error` filled when the options are unusable.
  bool Start(std::string* error);

  // Main thread. Queues one message for the broker: QoS 1, retained as
  // the message says. When the queue is full the oldest message is dropped
  // and counted.
  void Publish(Message message);

  // Main thread, often. After each (re)connection first publishes
  // "online" on the gateway's status, the clearing of vanished points still
  // queued, and the retained state that `retainedState` gives; then hands
  // queued messages to libmosquitto while few enough await the broker's
  // acknowledgement.
  void Pump(const std::function<void(std::vector<Message>*)>& retainedState);

  // Main thread: publishes "offline" on the gateway's status, gives the
  // queue up to `graceMs` to reach the broker, and disconnects.
  void Stop(int graceMs);

  bool connected() const { return connected_; }
  // Messages queued and messages handed over but not yet acknowledged.
  std::size_t backlog() const;
  std::uint64_t dropped() const { return dropped_; }

 private:
  static void OnConnect(mosquitto* client, void* self, int result);
  static void OnDisconnect(mosquitto* client, void* self, int result);
  static void OnPublish(mosquitto* client, void* self, int messageId);

  bool HandOver(const Message& message);
  std::uint64_t AwaitingAck() const;

  Options options_;
  mosquitto* client_ = nullptr;
  bool started_ = false;

  // Set on libmosquitto's thread, read on the main thread.
  std::atomic<bool> connected_{false};
  std::atomic<bool> cameUp_{false};
  std::atomic<std::uint64_t> acknowledged_{0};

  // Main thread only.
  std::deque<Message> queue_;
  std::uint64_t handedOver_ = 0;
  std::uint64_t dropped_ = 0;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_BROKER_LINK_H_

#include "broker_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "reconnect_pause.h"

namespace pelmora::gateway {

namespace {

constexpr int kQos = 1;
// How long one turn of the network loop waits for the socket; the most a
// stop waits for the thread to notice.
constexpr int kLoopWaitMs = 100;
// Writes waiting for the main thread at most; beyond, dropped. The main
// thread takes them every turn, so only a stalled gateway gets there.
constexpr std::size_t kMostWaitingWrites = 10000;
// The longest payload held of a write (a command datagram holds no more)
// and of any other message a front end subscribes to (a Sparkplug command
// carries several writes at most): one beyond is left behind, its topic and
// length told, so that whoever may publish cannot make the gateway hold
// what it would refuse anyway.
constexpr std::size_t kLongestWrite = 1023;
constexpr std::size_t kLongestIncoming = 64 * 1024;

// The message as the gateway holds it: its payload only up to `longest`.
Message Held(const mosquitto_message* message, std::size_t longest) {
  const auto length = static_cast<std::size_t>(message->payloadlen);
  Message held{message->topic, {}, message->retain};
  if (length > longest) {
    held.refusedLength = length;
  } else {
    held.payload.assign(static_cast<const char*>(message->payload), length);
  }
  return held;
}

bool Matches(const std::string& filter, const char* topic) {
  bool matches = false;
  mosquitto_topic_matches_sub(filter.c_str(), topic, &matches);
  return matches;
}

// The filters as libmosquitto takes a list of them, valid while they are.
std::vector<char*> FilterList(const std::vector<std::string>& filters) {
  std::vector<char*> list;
  for (const std::string& filter : filters)
    list.push_back(const_cast<char*>(filter.c_str()));
  return list;
}

// libmosquitto's global set-up, once per process.
struct LibraryUse {
  LibraryUse() { mosquitto_lib_init(); }
  ~LibraryUse() { mosquitto_lib_cleanup(); }
};

// Empty when the file can be opened for reading; else why not, with its
// path.
std::string Unreadable(const char* what, const std::string& path) {
  if (path.empty()) return {};
  std::ifstream file(path);
  if (file && file.peek() != std::ifstream::traits_type::eof()) return {};
  const int error = errno;
  return std::string(what) + " " + path + ": " +
         (file ? "empty" : std::strerror(error));
}

}  // namespace

BrokerLink::BrokerLink(Options options) : options_(std::move(options)) {
  static LibraryUse library;
}

BrokerLink::~BrokerLink() {
  if (network_.joinable()) Stop({}, 0);
  if (client_ != nullptr) mosquitto_destroy(client_);
}

bool BrokerLink::Start(std::string* error) {
  for (const std::string& problem :
       {Unreadable("CA file", options_.caFile),
        Unreadable("certificate file", options_.certFile),
        Unreadable("key file", options_.keyFile)}) {
    if (!problem.empty()) {
      *error = problem;
      return false;
    }
  }
  if (options_.certFile.empty() != options_.keyFile.empty() ||
      (!options_.certFile.empty() && options_.caFile.empty())) {
    *error = "a client certificate needs its key file and a CA file";
    return false;
  }
  client_ = mosquitto_new(options_.clientId.c_str(), true, this);
  if (client_ == nullptr) {
    *error = "cannot create an MQTT client";
    return false;
  }
  int result = MOSQ_ERR_SUCCESS;
  if (!options_.user.empty()) {
    result = mosquitto_username_pw_set(
        client_, options_.user.c_str(),
        options_.password.empty() ? nullptr : options_.password.c_str());
  }
  if (result == MOSQ_ERR_SUCCESS && !options_.caFile.empty()) {
    result = mosquitto_tls_set(
        client_, options_.caFile.c_str(), nullptr,
        options_.certFile.empty() ? nullptr : options_.certFile.c_str(),
        options_.keyFile.empty() ? nullptr : options_.keyFile.c_str(), nullptr);
  }
  if (result == MOSQ_ERR_SUCCESS) {
    result = mosquitto_max_inflight_messages_set(
        client_, static_cast<unsigned>(options_.inFlight));
  }
  if (result == MOSQ_ERR_SUCCESS) {
    // The main thread publishes while this class's thread runs the loop.
    result = mosquitto_threaded_set(client_, true);
  }
  if (result != MOSQ_ERR_SUCCESS) {
    *error = mosquitto_strerror(result);
    return false;
  }
  if (options_.mqtt5) {
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(client_, &BrokerLink::OnConnectV5);
  } else {
    mosquitto_connect_callback_set(client_, &BrokerLink::OnConnect);
  }
  mosquitto_publish_callback_set(client_, &BrokerLink::OnPublish);
  mosquitto_message_callback_set(client_, &BrokerLink::OnMessage);
  mosquitto_log_callback_set(client_, &BrokerLink::OnLog);
  network_ = std::thread([this] { Run(); });
  return true;
}

void BrokerLink::Run() {
  ReconnectPause pause(options_.reconnectMaxSeconds);
  for (;;) {
    lastLogError_.clear();
    connack_ = 0;
    int result = MOSQ_ERR_SUCCESS;
    if (options_.will) {
      const Message will = options_.will(connects_ + 1);
      result = mosquitto_will_set(client_, will.topic.c_str(),
                                  static_cast<int>(will.payload.size()),
                                  will.payload.data(), will.qos, will.retain);
    }
    if (result == MOSQ_ERR_SUCCESS) {
      result = mosquitto_connect(client_, options_.host.c_str(), options_.port,
                                 options_.keepAliveSeconds);
    }
    int failure = errno;
    // libmosquitto reached the broker and sent the CONNECT with its will.
    if (result == MOSQ_ERR_SUCCESS) ++connects_;
    bool wasUp = false;
    if (result == MOSQ_ERR_SUCCESS) {
      for (;;) {
        {
          std::lock_guard<std::mutex> lock(pauseMutex_);
          if (stopping_) break;
        }
        result = mosquitto_loop(client_, kLoopWaitMs, 1);
        failure = errno;
        wasUp = wasUp || connected_;
        if (result != MOSQ_ERR_SUCCESS) break;
      }
    }
    connected_ = false;
    {
      Locked<Mutex> lock(mutex_);
      reading_ = false;
    }
    std::string reason;
    {
      Locked<Mutex> lock(mutex_);
      reason.swap(endedBecause_);
    }
    if (!reason.empty()) {
      // Ended on the main thread's word.
    } else if (connack_ != 0) {
      reason = options_.mqtt5 ? mosquitto_reason_string(connack_)
                              : mosquitto_connack_string(connack_);
    } else if (result == MOSQ_ERR_ERRNO) {
      reason = std::strerror(failure);
    } else if (result == MOSQ_ERR_TLS && !lastLogError_.empty()) {
      reason = lastLogError_;
    } else if (result != MOSQ_ERR_SUCCESS) {
      reason = mosquitto_strerror(result);
    } else {
      reason = "connection closed";
    }
    std::unique_lock<std::mutex> lock(pauseMutex_);
    if (stopping_) break;
    NoteReason(reason);
    tried_ = true;
    pauseEnded_.wait_for(lock, std::chrono::seconds(pause.After(wasUp)),
                         [this] { return stopping_; });
    if (stopping_) break;
  }
}

void BrokerLink::NoteReason(const std::string& reason) {
  Locked<Mutex> lock(mutex_);
  if (reason == reason_) return;
  reason_ = reason;
  if (reason.empty()) {
    std::fprintf(stderr, "pelmora-gateway: connected to %s:%d\n",
                 options_.host.c_str(), options_.port);
  } else {
    std::fprintf(stderr,
                 "pelmora-gateway: broker %s:%d: %s (retrying, up to %d s "
                 "apart)\n",
                 options_.host.c_str(), options_.port, reason.c_str(),
                 options_.reconnectMaxSeconds);
  }
}

void BrokerLink::Publish(Message message) {
  if (message.retain) {
    auto [found, added] = retained_.try_emplace(std::move(message.topic),
                                                std::move(message.payload));
    if (added) {
      retainedOrder_.push_back(found->first);
    } else {
      found->second = std::move(message.payload);
    }
    return;
  }
  if (events_.size() >= options_.queueLimit) {
    NoteDropped(events_.front());
    events_.pop_front();
    ++leftEvents_;
  }
  events_.push_back({++queuedEvents_, std::move(message)});
}

void BrokerLink::NoteDropped(const Event& event) {
  ++dropped_;
  if (event.message.session) droppedSession_.push_back(event.number);
}

std::vector<std::uint64_t> BrokerLink::TakeDropped() {
  std::vector<std::uint64_t> dropped;
  dropped.swap(droppedSession_);
  return dropped;
}

void BrokerLink::Pump(const OnConnected& connected) {
  if (!connected_) return;
  if (cameUp_.exchange(false)) {
    DropSessionMessages();
    // The connection it was asked to end is over already.
    endReason_.clear();
    // The clearings already waiting stay ahead of the state.
    std::vector<Message> state;
    connected(upConnection_, &state);
    for (Message& message : state) Publish(std::move(message));
  }
  const std::size_t window = static_cast<std::size_t>(options_.inFlight);
  while (AwaitingAck() < window) {
    if (!retainedOrder_.empty()) {
      const auto found = retained_.find(retainedOrder_.front());
      if (HandOver(found->first, found->second, true, kQos) !=
          MOSQ_ERR_SUCCESS) {
        return;
      }
      retained_.erase(found);
      retainedOrder_.pop_front();
    } else if (!events_.empty()) {
      const Message& event = events_.front().message;
      const int result = HandOver(event.topic, event.payload, false, event.qos);
      // Over the broker's limit, it would wait for ever, and all behind it.
      if (result == MOSQ_ERR_OVERSIZE_PACKET) {
        NoteDropped(events_.front());
      } else if (result != MOSQ_ERR_SUCCESS) {
        return;
      }
      events_.pop_front();
      ++leftEvents_;
    } else {
      break;
    }
  }
  // Once the broker has acknowledged all: libmosquitto would send again,
  // on the next connection, what it had not.
  if (!endReason_.empty() && backlog() == 0) {
    {
      Locked<Mutex> lock(mutex_);
      endedBecause_ = std::move(endReason_);
    }
    endReason_.clear();
    Disconnect();
  }
}

void BrokerLink::EndConnection(std::string reason) {
  endReason_ = std::move(reason);
}

void BrokerLink::Stop(std::vector<Message> last, int graceMs) {
  if (!network_.joinable()) return;
  for (Message& message : last) Publish(std::move(message));
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
  while (connected_ && std::chrono::steady_clock::now() < deadline) {
    Pump([](std::uint64_t, std::vector<Message>*) {});
    if (backlog() == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  {
    std::lock_guard<std::mutex> lock(pauseMutex_);
    stopping_ = true;
  }
  pauseEnded_.notify_all();
  Disconnect();
  network_.join();
}

void BrokerLink::Disconnect() {
  // On MQTT 5 the front end's will follows even a clean end (this reason
  // code asks the broker for it), so that whoever watches the will learns
  // of the end whichever way the connection ends; 3.1.1 has no such code.
  if (options_.mqtt5) {
    mosquitto_disconnect_v5(client_, MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
  } else {
    mosquitto_disconnect(client_);
  }
}

std::vector<Message> BrokerLink::TakeHeld() {
  std::vector<Message> held;
  Locked<Mutex> lock(mutex_);
  held.swap(held_);
  return held;
}

std::vector<Message> BrokerLink::TakeIncoming() {
  std::vector<Message> incoming;
  // What a new connection brings waits until Pump has told the front end of
  // the connection: a primary host's state must not reach it before.
  if (cameUp_) return incoming;
  Locked<Mutex> lock(mutex_);
  incoming.swap(incoming_);
  incomingWaiting_ = false;
  return incoming;
}

void BrokerLink::DropSessionMessages() {
  const std::size_t before = events_.size();
  events_.erase(
      std::remove_if(events_.begin(), events_.end(),
                     [](const Event& event) { return event.message.session; }),
      events_.end());
  leftEvents_ += before - events_.size();
  Locked<Mutex> lock(mutex_);
  for (const int id : inFlightAtMostOnce_) inFlight_.erase(id);
  inFlightAtMostOnce_.clear();
}

std::vector<Message> BrokerLink::TakeWrites() {
  std::vector<Message> writes;
  Locked<Mutex> lock(mutex_);
  writes.swap(writes_);
  return writes;
}

std::string BrokerLink::reason() const {
  Locked<Mutex> lock(mutex_);
  return reason_;
}

std::size_t BrokerLink::backlog() const {
  return retainedOrder_.size() + events_.size() + AwaitingAck();
}

std::size_t BrokerLink::AwaitingAck() const {
  Locked<Mutex> lock(mutex_);
  return inFlight_.size();
}

int BrokerLink::HandOver(const std::string& topic, const std::string& payload,
                         bool retain, int qos) {
  int id = 0;
  // The id is recorded under the lock, before the acknowledgement can be
  // handled on the network thread.
  Locked<Mutex> lock(mutex_);
  const int result = mosquitto_publish(client_, &id, topic.c_str(),
                                       static_cast<int>(payload.size()),
                                       payload.data(), qos, retain);
  if (result != MOSQ_ERR_SUCCESS) return result;
  inFlight_.insert(id);
  if (qos == 0) inFlightAtMostOnce_.insert(id);
  return MOSQ_ERR_SUCCESS;
}

void BrokerLink::OnConnectV5(mosquitto* client, void* self, int result, int,
                             const mosquitto_property* properties) {
  std::uint32_t largest = 0;
  mosquitto_property_read_int32(properties, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                &largest, false);
  static_cast<BrokerLink*>(self)->brokerMaxPacket_ = largest;
  OnConnect(client, self, result);
}

void BrokerLink::OnConnect(mosquitto* client, void* self, int result) {
  auto* link = static_cast<BrokerLink*>(self);
  link->connack_ = result;
  if (result != 0) return;
  // Before the subscriptions, so that nothing they bring is taken before
  // Pump has seen the connection.
  link->upConnection_ = link->connects_;
  link->cameUp_ = true;
  const Options& options = link->options_;
  {
    // What the last connection brought is restated on this one.
    Locked<Mutex> lock(link->mutex_);
    link->incoming_.clear();
    link->incomingWaiting_ = false;
    link->reading_ = !options.readBack.empty();
  }
  if (!options.readBack.empty()) {
    const std::vector<char*> filters = FilterList(options.readBack);
    mosquitto_subscribe_multiple(client, nullptr,
                                 static_cast<int>(filters.size()),
                                 filters.data(), kQos, 0, nullptr);
  }
  if (!options.writesFilter.empty())
    mosquitto_subscribe(client, nullptr, options.writesFilter.c_str(), kQos);
  for (const std::string& filter : options.subscriptions)
    mosquitto_subscribe(client, nullptr, filter.c_str(), kQos);
  link->NoteReason("");
  link->connected_ = true;
  link->tried_ = true;
}

void BrokerLink::OnMessage(mosquitto* client, void* self,
                           const mosquitto_message* message) {
  auto* link = static_cast<BrokerLink*>(self);
  const Options& options = link->options_;
  Locked<Mutex> lock(link->mutex_);
  if (!options.writesFilter.empty() &&
      Matches(options.writesFilter, message->topic)) {
    // A retained write comes flagged so only when the broker hands it to a
    // new subscription: at every (re)connection, long after it was meant.
    // Published live, it arrives unflagged and acts once, as any other.
    if (!message->retain && link->writes_.size() < kMostWaitingWrites)
      link->writes_.push_back(Held(message, kLongestWrite));
    return;
  }
  const bool readBack =
      std::any_of(options.readBack.begin(), options.readBack.end(),
                  [&](const std::string& filter) {
                    return Matches(filter, message->topic);
                  });
  if (!readBack) {
    if (link->incoming_.size() < kMostWaitingWrites)
      link->incoming_.push_back(Held(message, kLongestIncoming));
    link->incomingWaiting_ = true;
    return;
  }
  if (!link->reading_) return;
  const bool end = options.readBackEnd == message->topic;
  if (!message->retain) {
    // The front end's own, live: the broker has sent every retained message
    // that matched before it.
    if (!end) return;
    link->reading_ = false;
    const std::vector<char*> filters = FilterList(options.readBack);
    mosquitto_unsubscribe_multiple(client, nullptr,
                                   static_cast<int>(filters.size()),
                                   filters.data(), nullptr);
    return;
  }
  if (end) return;
  link->held_.push_back(
      {message->topic,
       std::string(static_cast<const char*>(message->payload),
                   static_cast<std::size_t>(message->payloadlen)),
       true});
}

void BrokerLink::OnPublish(mosquitto*, void* self, int messageId) {
  auto* link = static_cast<BrokerLink*>(self);
  Locked<Mutex> lock(link->mutex_);
  link->inFlight_.erase(messageId);
  link->inFlightAtMostOnce_.erase(messageId);
}

void BrokerLink::OnLog(mosquitto*, void* self, int level, const char* text) {
  // libmosquitto tells the TLS library's reason only here.
  if (level == MOSQ_LOG_ERR)
    static_cast<BrokerLink*>(self)->lastLogError_ = text;
}

}  // namespace pelmora::gateway

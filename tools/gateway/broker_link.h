// The gateway's connection to the MQTT broker, through libmosquitto.
//
// A thread of this class's own connects, runs libmosquitto's network loop
// and, after any failure (refused, unreachable, TLS, lost), waits 1, 2, 4, ...
// seconds up to the longest pause and tries again, for as long as the
// gateway runs. Each change of the reason is printed once and kept for the
// counters. Everything else runs on the gateway's main thread.
//
// What waits for the broker is kept in two forms. Retained messages are the
// latest payload per topic: a newer value replaces the one waiting, so they
// take as much room as there are topics and none is ever dropped. Events
// wait in order in a queue of their own, bounded, the oldest dropped and
// counted. Retained messages go first; libmosquitto gets as many as its
// in-flight window takes.
//
// The front end (a publishing mode) gives a will for each CONNECT sent and
// is told, on the main thread, which one came up, with what to say then;
// what it queued for an earlier connection (Message::session) is dropped
// then, as a new session restates it. It may end a connection
// (EndConnection) for the next to start over, and gives the last messages
// of a clean stop. The link adds no message of its own.
//
// What arrives on the front end's topics (writes, its retained messages
// read back, anything else it subscribes to) arrives on the network thread
// and waits, bounded, for the main thread to take it.
#ifndef PELMORA_TOOLS_GATEWAY_BROKER_LINK_H_
#define PELMORA_TOOLS_GATEWAY_BROKER_LINK_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "message.h"
#include "sync/mutex.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;
typedef struct mqtt5__property mosquitto_property;

namespace pelmora::gateway {

class BrokerLink {
 public:
  struct Options {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string clientId;
    std::string caFile;    // TLS when set
    std::string certFile;  // a client certificate, with its key
    std::string keyFile;
    std::string user;
    std::string password;
    int keepAliveSeconds = 30;
    int reconnectMaxSeconds = 30;
    // Events waiting for the broker.
    std::size_t queueLimit = 100000;
    // Messages handed to libmosquitto and not yet acknowledged.
    int inFlight = 1000;
    // The will of each CONNECT, given its number (1, 2, ...): an attempt
    // that never reached the broker (refused, unreachable) sent none, and
    // the next one gets the same number. Called on the network thread
    // before the CONNECT, so it may use nothing but its argument, what
    // never changes and what no other thread uses. No will when unset.
    std::function<Message(std::uint64_t connection)> will;
    // MQTT 5 rather than 3.1.1, to learn from the broker's CONNACK the
    // largest packet it takes (max_packet_size); a clean end then asks the
    // broker to publish the will too.
    bool mqtt5 = false;
    // Subscribed to on each connection; what arrives on them, retained or
    // not, waits for TakeIncoming.
    std::vector<std::string> subscriptions;
    // Subscribed to on each connection: what is published on it live is a
    // write, for TakeWrites. None when empty.
    std::string writesFilter;
    // The front end's own retained messages, read once per connection:
    // what the broker holds on these filters waits for TakeHeld, until a
    // live message on `readBackEnd` (which the front end publishes on each
    // connection, and which these filters match) says the broker has sent
    // all it had. Nothing read back when empty.
    std::vector<std::string> readBack;
    std::string readBackEnd;
  };

  explicit BrokerLink(Options options);
  ~BrokerLink();
  BrokerLink(const BrokerLink&) = delete;
  BrokerLink& operator=(const BrokerLink&) = delete;

  // Checks that the CA, certificate and key files can be read, sets the
  // will, the credentials and TLS, and starts connecting in the background;
  // false with `error` filled when the options are unusable.
  bool Start(std::string* error);

  // Main thread. Queues one message for the broker, QoS 1: a retained one
  // replaces what waits for its topic, an event joins the queue (the oldest
  // dropped when it is full).
  void Publish(Message message);

  // Main thread, often. After each (re)connection drops the session
  // messages still waiting and queues what `connected` gives, with the
  // number of the CONNECT that connected (behind the clearings already
  // waiting); then hands waiting messages to libmosquitto, retained ones
  // first, while the in-flight window has room.
  using OnConnected =
      std::function<void(std::uint64_t connection, std::vector<Message>*)>;
  void Pump(const OnConnected& connected);

  // Main thread: events queued since the start, and those that left the
  // queue (handed over or dropped): a front end marks where its messages
  // end and sees when they have left.
  std::uint64_t queued_events() const { return queuedEvents_; }
  std::uint64_t left_events() const { return leftEvents_; }
  // Main thread: the numbers of the session messages dropped since the last
  // call, from the full queue or for a size over the broker's limit, taken
  // away; an event's number is queued_events() once it was queued (1, 2,
  // ...). Those a new connection drops are not among them.
  std::vector<std::uint64_t> TakeDropped();

  // Main thread: once every message waiting has been acknowledged, ends the
  // connection (the front end sent what it had to say; its will follows
  // it); the next one starts as after any loss, `reason` told as its cause.
  void EndConnection(std::string reason);

  // Main thread: publishes `last`, gives what waits up to `graceMs` to reach
  // the broker, and disconnects (a front end's will is published after
  // `last`).
  void Stop(std::vector<Message> last, int graceMs);

  // Main thread: the retained messages on the read-back filters that the
  // broker held when the gateway connected, taken away.
  std::vector<Message> TakeHeld();

  // Main thread: what arrived on the subscriptions, in order, taken away;
  // nothing of a new connection before Pump has handed it to `connected`.
  // A payload over 64 KiB is left behind (Message::refusedLength).
  std::vector<Message> TakeIncoming();
  // Whether TakeIncoming has something to take: the main thread heeds it
  // before the next datagram.
  bool incoming_waiting() const { return incomingWaiting_; }
  // Main thread: the writes published to the write topics since the last
  // call, oldest first, taken away; one whose payload is over 1,023 bytes
  // without it (Message::refusedLength). Those the broker hands over as
  // retained, at a (re)connection, are not among them: they would act
  // again at every connection.
  std::vector<Message> TakeWrites();

  bool connected() const { return connected_; }
  // The first connection attempt has come to an end: connected, or failed
  // with its reason.
  bool tried() const { return tried_; }
  // Connected, with messages waiting for room in the in-flight window.
  bool sending() const {
    return connected_ && (!retainedOrder_.empty() || !events_.empty());
  }
  // Why the last connection attempt failed or the connection ended, or
  // that none was made yet; empty while connected.
  std::string reason() const;
  // Messages waiting and messages handed over but not yet acknowledged.
  std::size_t backlog() const;
  // Events dropped from the full queue, or for a size over the broker's
  // limit, since the start.
  std::uint64_t dropped() const { return dropped_; }
  // The largest packet the broker said it takes on the last connection
  // (MQTT 5); 0 when it said none.
  std::size_t broker_max_packet() const { return brokerMaxPacket_; }

 private:
  static void OnConnect(mosquitto* client, void* self, int result);
  static void OnConnectV5(mosquitto* client, void* self, int result, int flags,
                          const mosquitto_property* properties);
  static void OnPublish(mosquitto* client, void* self, int messageId);
  static void OnMessage(mosquitto* client, void* self,
                        const mosquitto_message* message);
  static void OnLog(mosquitto* client, void* self, int level, const char* text);

  // The network thread: connect, loop, wait, again.
  void Run();
  void NoteReason(const std::string& reason);
  // libmosquitto's result.
  int HandOver(const std::string& topic, const std::string& payload,
               bool retain, int qos);
  void DropSessionMessages();
  struct Event;
  void NoteDropped(const Event& event);
  // Ends the connection: with a will of the front end's, asking the broker
  // to publish it (MQTT 5's "Disconnect with Will Message").
  void Disconnect();
  std::size_t AwaitingAck() const;

  Options options_;
  mosquitto* client_ = nullptr;
  std::thread network_;

  std::atomic<bool> connected_{false};
  std::atomic<bool> cameUp_{false};
  std::atomic<bool> tried_{false};
  std::atomic<bool> incomingWaiting_{false};
  std::atomic<std::size_t> brokerMaxPacket_{0};

  // Wakes the network thread out of its pause when the gateway stops.
  std::mutex pauseMutex_;
  std::condition_variable pauseEnded_;
  bool stopping_ = false;  // guarded by pauseMutex_

  mutable Mutex mutex_;
  // Not empty until the first connection, which is then told as any other.
  std::string reason_ GUARDED_BY(mutex_) = "not connected yet";
  // Message ids handed to libmosquitto and not yet acknowledged. libmosquitto
  // sends them again after a reconnection, under the same ids.
  std::set<int> inFlight_ GUARDED_BY(mutex_);
  // Those of them sent at QoS 0: libmosquitto forgets them with the
  // connection, and no acknowledgement ever comes.
  std::set<int> inFlightAtMostOnce_ GUARDED_BY(mutex_);
  std::vector<Message> incoming_ GUARDED_BY(mutex_);
  std::vector<Message> held_ GUARDED_BY(mutex_);
  std::vector<Message> writes_ GUARDED_BY(mutex_);
  bool reading_ GUARDED_BY(mutex_) = false;
  // Why the main thread ended the connection, for the network thread to
  // tell; empty when it did not.
  std::string endedBecause_ GUARDED_BY(mutex_);

  // Network thread only.
  std::string lastLogError_;
  int connack_ = 0;
  // CONNECTs sent since the start.
  std::uint64_t connects_ = 0;
  // The number of the CONNECT whose connection came up last.
  std::atomic<std::uint64_t> upConnection_{0};

  // Main thread only.
  std::unordered_map<std::string, std::string> retained_;
  std::deque<std::string> retainedOrder_;
  struct Event {
    std::uint64_t number = 0;
    Message message;
  };
  std::deque<Event> events_;
  std::vector<std::uint64_t> droppedSession_;
  std::uint64_t dropped_ = 0;
  std::uint64_t queuedEvents_ = 0;
  std::uint64_t leftEvents_ = 0;
  // Set by EndConnection until the queue is handed over.
  std::string endReason_;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_BROKER_LINK_H_

// The gateway as one Sparkplug B edge node, each station one device of it.
//
//   spBv1.0/<group>/NBIRTH/<edge node>           on each connection, rebirth
//   spBv1.0/<group>/NDEATH/<edge node>           the will, and on stopping
//   spBv1.0/<group>/DBIRTH/<edge node>/<MAC>     a station's every point
//   spBv1.0/<group>/DDATA/<edge node>/<MAC>      the changes of one datagram
//   spBv1.0/<group>/DDEATH/<edge node>/<MAC>     the station fell silent
//   spBv1.0/<group>/NCMD/<edge node>             "Node Control/Rebirth"
//   spBv1.0/<group>/DCMD/<edge node>/<MAC>       writes into the station
//   spBv1.0/STATE/<primary host>                 births wait for its online
// <MAC> is "00-11-22-33-44-55", as the pelmora/ tree names stations.
//
// Each point is one metric named after the point and each station's events
// one metric "%Event" (a '%' that no two hex digits follow: a point name
// never maps to it), one value per event in order; the Boolean metric
// "%Complete" tells whether the station's last snapshot arrived without
// loss, so that its list holds every point it has. Names and values are the
// host's GBK texts in UTF-8 by Utf8OfHostText. An alias is given to each
// metric once, for the life of the process, unique across the edge node.
//
// A station is born (DBIRTH) once its point list is known: when its first
// snapshot ends (complete or not, as "%Complete" says), or at once when it
// comes back from silence with its points known. A new point, or points a
// complete snapshot cleared, make a new DBIRTH of that station; any other
// change goes out by alias in DDATA, one per datagram, only the values that
// changed. A point the site file describes carries its unit, limits and
// description as properties of its DBIRTH metric ("engUnit" and
// "description" String, "engLow" and "engHigh" Double). Every message but
// NDEATH carries `seq`, 0 in NBIRTH and one more (mod 256) in each message
// after. Births restate everything, so messages waiting from before a
// reconnection are dropped (Message::session) rather than sent.
//
// The node is a pure part as StationTable is: the main thread calls it and
// takes the messages it makes; time comes in as an argument.
#ifndef PELMORA_TOOLS_GATEWAY_SPARKPLUG_NODE_H_
#define PELMORA_TOOLS_GATEWAY_SPARKPLUG_NODE_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "message.h"
#include "site_file.h"
#include "station_table.h"

namespace pelmora::gateway {

// Where the node sends the writes it is asked for. Until one is given,
// every write is refused and counted.
class StationCommandSink {
 public:
  virtual ~StationCommandSink() = default;
  // Writes `value` into point `name` of station `mac` (host texts); false
  // when refused.
  virtual bool WritePoint(const std::string& mac, std::string_view name,
                          std::string_view value) = 0;
};

class SparkplugNode : public StationObserver {
 public:
  struct Options {
    std::string group;
    std::string edgeNode;
    // A point whose text is a number when its station is first born
    // becomes a Double metric for the life of the process; a later text
    // that is no number is sent as a null value of it.
    bool numeric = false;
    // When set, births wait for this primary host's STATE to say online.
    std::string primaryHost;
    // The bdSeq of the process's first CONNECT: one above the last one a
    // process before it used, so that its will can never match our birth.
    std::uint64_t firstBdSeq = 0;
    // The largest MQTT packet the broker takes (0: no limit known). A
    // DBIRTH that would not fit is refused, never sent: the broker would
    // end the whole node's connection for it.
    std::size_t maxPacket = 0;
  };

  explicit SparkplugNode(Options options);

  // The topics a connection subscribes to.
  std::vector<std::string> Subscriptions() const;
  // The bdSeq of the process's `connection`th CONNECT (1, 2, ...): one more
  // per CONNECT, modulo 256. Any thread: it reads only the options.
  std::uint64_t BdSeqOf(std::uint64_t connection) const;
  // The NDEATH registered as the will of the `connection`th CONNECT.
  // Any thread, as BdSeqOf.
  Message Will(std::uint64_t connection) const;
  // The `connection`th CONNECT was accepted: births, unless a primary host
  // is awaited. Messages made before and not taken are dropped: they
  // belong to the session that ended.
  void Connected(std::uint64_t connection, const Moment& now);
  // A message on one of the subscriptions. Retained commands are ignored:
  // the broker hands them over at every connection, long after they were
  // meant.
  void Receive(const Message& message, const Moment& now);
  // True once, after the primary host went offline: the node sent its
  // NDEATH and its connection must end, so that the next one brings the
  // next bdSeq.
  bool TakeConnectionEnd();
  // What the node has to tell the site (points that differ only in case,
  // births refused, commands ignored), appended to `lines`.
  void TakeLines(std::vector<std::string>* lines);
  // The largest packet the broker of the connection coming up said it
  // takes (0: it said none), besides Options::maxPacket: the smaller one
  // holds.
  void LimitPackets(std::size_t brokerMaxPacket) {
    brokerMaxPacket_ = brokerMaxPacket;
  }
  // Before the first connection: the bdSeq of the first CONNECT.
  void StartAt(std::uint64_t firstBdSeq) { options_.firstBdSeq = firstBdSeq; }
  // The NDEATH of a gateway that stops, when the node is born: one that is
  // not (a primary host offline) has said it is dead already.
  std::optional<Message> Death() const;
  // The messages made since the last call, in order, appended to `out`.
  void Take(std::vector<Message>* out);

  // The site file that describes the points (null: none, and no metric has
  // properties). A born station whose points it now describes otherwise is
  // born again at once.
  void SetSite(std::shared_ptr<const SiteFile> site, const Moment& now);

  void set_command_sink(StationCommandSink* sink) { sink_ = sink; }
  // A write of point `name` taken by the sink that failed later (refused
  // by the station, unanswered): counted and told, and the point's value
  // sent again, as for a write refused at once.
  void CommandFailed(const std::string& mac, const std::string& name,
                     const std::string& reason, const Moment& now);
  // A Rebirth request waits to be answered (Rebirth): the gateway answers
  // it once the births before it have left, so that a host that asks again
  // and again gets one birth sequence in flight and one after it.
  bool rebirth_asked() const { return rebirthAsked_; }
  // Answers the request: NBIRTH and every DBIRTH.
  void Rebirth(const Moment& now);
  // A message of this session was lost on its way to the broker: asks for
  // the births as a host's Rebirth request would, so that no host is left
  // with a gap in seq it cannot recover from.
  void AskRebirth() { rebirthAsked_ = rebirthAsked_ || sessionUp_; }

  // The gateway's health as the node's own metrics ("Gateway/..."), given
  // in NBIRTH with the version, and in an NDATA of those that changed each
  // time the gateway tells them, so that a host sees them with nothing set
  // up. The commands and births refused and the reconnections are the
  // node's own counts.
  struct Health {
    std::uint64_t stationsOnline = 0;
    std::uint64_t datagramsRefused = 0;
    // By the system, for want of room, where it counts them.
    std::uint64_t datagramsDropped = 0;
    // From the queue of messages waiting for the broker.
    std::uint64_t eventsDropped = 0;
  };
  void NoteHealth(const Health& health, const Moment& now);
  // DCMD writes refused or failed since the start: a metric unknown or of
  // no usable value, a station without a key, or a failure counted above.
  std::uint64_t refused_commands() const { return refusedCommands_; }
  // NBIRTH and DBIRTH messages made since the start.
  struct BirthCounts {
    std::uint64_t node = 0;
    std::uint64_t device = 0;
  };
  const BirthCounts& births() const { return births_; }
  // DBIRTHs refused for their size, and retained NCMD or DCMD messages
  // ignored, since the start.
  std::uint64_t refused_births() const { return refusedBirths_; }
  std::uint64_t ignored_retained() const { return ignoredRetained_; }

  // StationObserver: the stations' changes, made into messages.
  void StationOnline(const std::string& mac, const Moment& now) override;
  void PointSet(const std::string& mac, std::string_view name,
                std::string_view value, const Moment& now) override;
  void Event(const std::string& mac, std::string_view record,
             const Moment& now) override;
  void DatagramDone(const std::string& mac, const Moment& now) override;
  void SnapshotEnded(const std::string& mac,
                     const std::vector<std::string>& cleared, bool complete,
                     const Moment& now) override;
  void TreeInDoubt(const std::string& mac, const Moment& now) override;
  void StationSilent(const std::string& mac, const Moment& now) override;

 private:
  // What the site file says of a point, as its metric's properties.
  struct Properties {
    std::string unit;
    std::optional<double> low;
    std::optional<double> high;
    std::string description;
    bool operator==(const Properties& other) const {
      return unit == other.unit && low == other.low && high == other.high &&
             description == other.description;
    }
  };
  struct Metric {
    std::uint64_t alias = 0;
    std::string value;
    std::chrono::system_clock::time_point received;
    bool typed = false;  // its type was fixed by a birth
    bool isDouble = false;
    // False once a snapshot cleared the point: kept, so that a point that
    // returns keeps its alias and type.
    bool present = true;
    // As its last birth gave them.
    Properties properties;
  };
  struct Device {
    std::map<std::string, Metric> metrics;
    std::uint64_t eventAlias = 0;
    std::uint64_t completeAlias = 0;
    bool complete = false;
    bool completeChanged = false;
    std::set<std::string> changed;
    std::vector<std::pair<std::string, std::chrono::system_clock::time_point>>
        events;
    bool online = false;
    bool listKnown = false;
    bool born = false;  // DBIRTH sent in this session
    bool setChanged = false;
    // The size of the last DBIRTH refused as too large, so that the same
    // refusal is said once; and whether the last one was.
    std::size_t refusedSize = 0;
    bool birthRefused = false;
    // The timestamp of the last event sent, in ms.
    std::uint64_t lastEventMs = 0;
    // Pairs of point names equal but for case, already warned of.
    std::set<std::pair<std::string, std::string>> caseWarned;
  };

  std::string Topic(const char* type, const std::string& device = "") const;
  Properties PropertiesOf(const std::string& mac,
                          const std::string& name) const;
  void Births(const Moment& now);
  void Flush(const std::string& mac, Device& device, const Moment& now);
  void BirthOf(const std::string& mac, Device& device, const Moment& now);
  void Emit(const char* type, const std::string& mac, std::string payload);
  std::uint64_t NextSeq();
  void HeedState(std::string_view payload, const Moment& now);
  void WarnOfCase(const std::string& mac, Device& device);
  std::vector<std::uint64_t> HealthValues() const;
  // A write refused: counted, the point's value (`name` empty: none) sent
  // again, and said as `label` with `why`.
  void CommandRefused(const std::string& mac, const std::string& name,
                      const std::string& label, const char* why,
                      const Moment& now);

  Options options_;
  StationCommandSink* sink_ = nullptr;
  std::shared_ptr<const SiteFile> site_;
  std::map<std::string, Device> devices_;
  std::uint64_t nextAlias_ = 1;
  std::uint64_t bdSeq_ = 0;
  std::uint64_t seq_ = 0;
  bool connected_ = false;
  bool hostOnline_ = false;
  // The timestamp of the last STATE heeded: an older one is stale, and
  // passed over. Kept across connections.
  std::uint64_t stateTimestamp_ = 0;
  bool stateHeard_ = false;
  // NBIRTH sent on this connection.
  bool sessionUp_ = false;
  bool endConnection_ = false;
  bool rebirthAsked_ = false;
  std::uint64_t connections_ = 0;
  std::size_t brokerMaxPacket_ = 0;
  Health health_;
  std::vector<std::uint64_t> healthAliases_;
  std::vector<std::uint64_t> healthSent_;
  // Refused writes since the last line that said one, and when it was.
  std::uint64_t refusalsUnsaid_ = 0;
  std::chrono::steady_clock::time_point lastRefusalLine_{};
  std::uint64_t refusedCommands_ = 0;
  std::uint64_t refusedBirths_ = 0;
  std::uint64_t ignoredRetained_ = 0;
  std::vector<std::string> lines_;
  BirthCounts births_;
  std::vector<Message> out_;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_SPARKPLUG_NODE_H_

// What the gateway knows of each station and the broker messages that keep
// the broker's retained tree equal to it.
//
// Stations are told apart by the MAC in the datagram header; the address a
// station last sent from is kept for its status. Every call takes the time
// from the caller, so that the rules on silence and on the end of a snapshot
// can be shown without waiting.
//
// A snapshot has no start or end marker on the wire. One starts with the
// first snapshot datagram after the previous one ended, and ends when its
// station has sent no snapshot datagram for the settle time, or when a
// snapshot datagram repeats a name of the one running (the next snapshot
// began straight after it). When a snapshot ends, the points that the
// station's previous snapshot held and this one does not are cleared, unless
// an item record brought them since the snapshot began: the host restarted
// its service with a shorter point list. A point first pushed after the
// host's first round comes as item records and is in the snapshots after.
#ifndef PELMORA_TOOLS_GATEWAY_STATION_TABLE_H_
#define PELMORA_TOOLS_GATEWAY_STATION_TABLE_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "topic_tree.h"
#include "datagram.h"
#include "udp_receiver.h"

namespace pelmora::gateway {

// One moment, on the clock that measures silences and on the wall clock
// that the messages show.
struct Moment {
  std::chrono::steady_clock::time_point steady;
  std::chrono::system_clock::time_point wall;
  static Moment Now() {
    return {std::chrono::steady_clock::now(), std::chrono::system_clock::now()};
  }
};

struct Message {
  std::string topic;
  std::string payload;
  bool retain = false;
};

// "2026-12-09T01:23:45.678Z".
std::string WallText(std::chrono::system_clock::time_point wall);

class StationTable {
 public:
  struct Options {
    // Point values as a JSON object (value decoded from GBK, time received)
    // instead of the bytes as sent; events likewise.
    bool json = false;
    std::chrono::milliseconds silence{std::chrono::seconds(60)};
    std::chrono::milliseconds settle{std::chrono::seconds(2)};
  };

  explicit StationTable(Options options) : options_(options) {}

  // The messages one well-formed datagram calls for, appended to `out`.
  void Apply(const wire::Datagram& datagram, const wire::Endpoint& from,
             const Moment& now, std::vector<Message>* out);

  // The messages that time alone calls for: snapshots that have settled,
  // stations that fell silent.
  void Tick(const Moment& now, std::vector<Message>* out);

  // Every retained message that the broker should hold now, for a broker
  // that has just been (re)connected to.
  void RetainedState(std::vector<Message>* out) const;

  std::size_t station_count() const { return stations_.size(); }

 private:
  struct Point {
    std::string value;
    std::chrono::system_clock::time_point received;
  };
  struct Station {
    std::string mac;
    wire::Endpoint from;
    std::map<std::string, Point> points;
    std::set<std::string> lastSnapshot;
    bool inSnapshot = false;
    std::set<std::string> snapshotNames;
    std::set<std::string> itemsSinceSnapshotBegan;
    std::chrono::steady_clock::time_point lastSnapshotDatagram;
    std::chrono::system_clock::time_point lastSnapshotDatagramWall;
    bool everSnapshot = false;
    // When the last datagram of the last snapshot that ended arrived.
    std::chrono::system_clock::time_point lastSnapshotEnded;
    bool online = false;
    std::chrono::steady_clock::time_point lastSeen;
    std::chrono::system_clock::time_point lastSeenWall;
  };

  void EndSnapshot(Station& station, std::vector<Message>* out);
  void SetPoint(Station& station, std::string_view name, std::string_view value,
                const Moment& now, std::vector<Message>* out);
  Message PointMessage(const Station& station, const std::string& name,
                       const Point& point) const;
  Message StatusMessage(const Station& station) const;

  Options options_;
  std::map<std::string, Station> stations_;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_STATION_TABLE_H_

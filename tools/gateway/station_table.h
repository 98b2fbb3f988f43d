// What the gateway knows of each station, told to the front ends that follow
// it (StationObserver) as it changes: the table builds no message of its own,
// so it serves every way of publishing alike.
//
// Stations are told apart by the MAC in the datagram header, and a MAC is
// trusted only from its address: the network a trusted list gives it, or,
// without a list, the address it was first heard from until it falls
// silent. A datagram from anywhere else, from a MAC not on the list, or
// from a new station beyond the most the table keeps is refused and changes
// nothing. Every call takes the time from the caller, so that the rules on
// silence and on the end of a snapshot can be shown without waiting.
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
//
// A snapshot is complete only if no datagram was lost while it arrived.
// The wire cannot tell whose datagram was lost, so any loss the caller
// reports during a snapshot's window makes it incomplete, whoever's it was:
// the window opens at the count as it stood when nothing was last waiting
// to be read before its first datagram (a loss reported within the settle
// time before that may have been its own first datagrams, and counts too)
// and closes when it ends. An incomplete snapshot updates its points and
// clears none: only a complete one says what the station no longer has.
#ifndef PELMORA_TOOLS_GATEWAY_STATION_TABLE_H_
#define PELMORA_TOOLS_GATEWAY_STATION_TABLE_H_

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "datagram.h"
#include "moment.h"
#include "udp_receiver.h"

namespace pelmora::gateway {

using wire::Moment;

// Why a datagram was refused.
enum class Refusal {
  kNone,
  kUnknownStation,   // its MAC is not on the trusted list
  kWrongAddress,     // from outside the address its MAC is bound to
  kTooManyStations,  // a new station beyond the most the table keeps
};
inline constexpr int kRefusalKinds = 4;
// "unknown_station", ...; "" for kNone.
const char* RefusalName(Refusal refusal);

// A station MAC and the network it may send from.
struct TrustedStation {
  std::array<std::uint8_t, 6> mac{};
  std::uint32_t network = 0;  // host order, as wire::Endpoint
  int prefixBits = 32;
};
// "02-00-00-00-00-0A 10.1.2.0/24" (or ':' between the MAC's bytes, or a
// single address); false when it is not that.
bool ParseTrustedStation(std::string_view text, TrustedStation* out);

// "2026-12-09T01:23:45.678Z".
std::string WallText(std::chrono::system_clock::time_point wall);

// A front end that follows the stations. The table calls it on the thread that
// calls the table, in the order the changes happened, after the table has taken
// them in. Each call does nothing unless the front end wants it.
class StationObserver {
 public:
  virtual ~StationObserver() = default;
  // The station is heard from after it was silent, or for the first time.
  virtual void StationOnline(const std::string& /*mac*/,
                             const Moment& /*now*/) {}
  // One record of a datagram set a point (item or snapshot).
  virtual void PointSet(const std::string& /*mac*/, std::string_view /*name*/,
                        std::string_view /*value*/, const Moment& /*now*/) {}
  // One event record, in the order the station sent them.
  virtual void Event(const std::string& /*mac*/, std::string_view /*record*/,
                     const Moment& /*now*/) {}
  // A datagram admitted from the station has been taken in entirely.
  virtual void DatagramDone(const std::string& /*mac*/, const Moment& /*now*/) {
  }
  // A snapshot ended. When `complete`, the station's point list is
  // complete, without the points in `cleared`, which are gone; when not,
  // datagrams were lost while it arrived, and none is cleared.
  virtual void SnapshotEnded(const std::string& /*mac*/,
                             const std::vector<std::string>& /*cleared*/,
                             bool /*complete*/, const Moment& /*now*/) {}
  // Datagrams were lost that may have been the station's (a change, or a
  // point first pushed): its tree, complete until now, may be stale until
  // its next complete snapshot.
  virtual void TreeInDoubt(const std::string& /*mac*/, const Moment& /*now*/) {}
  // The station fell silent.
  virtual void StationSilent(const std::string& /*mac*/,
                             const Moment& /*now*/) {}
  // Points the broker held were counted among the station's (only where
  // the front end reads its retained points back: see Learn).
  virtual void PointsHeld(const std::string& /*mac*/) {}
  // A complete snapshot is ending without points the broker held that no
  // datagram brought since: they are gone too, though the table never had
  // their values, so they are not among SnapshotEnded's `cleared`. Told
  // just before SnapshotEnded.
  virtual void HeldPointsCleared(const std::string& /*mac*/,
                                 const std::vector<std::string>& /*names*/,
                                 const Moment& /*now*/) {}
};

class StationTable {
 public:
  struct Options {
    std::chrono::milliseconds silence{std::chrono::seconds(60)};
    std::chrono::milliseconds settle{std::chrono::seconds(2)};
    // When not empty, only these stations, each from its network.
    std::vector<TrustedStation> trusted;
    std::size_t maxStations = 10000;
  };

  struct Verdict {
    Refusal refusal = Refusal::kNone;
    // Accepted from a station that was unknown, silent or elsewhere.
    bool cameOnline = false;
    // It came online with no complete snapshot here, and not with a
    // snapshot: its tree is whole only once it is asked for one.
    bool wantsSnapshot = false;
  };

  // Datagrams lost on their way in, as the caller counts them (the
  // system's drops): `total` since the start, and `beforeIdle`, the count
  // as it stood when nothing was last seen waiting to be read. Both only
  // grow. Where loss is not counted, no snapshot is known complete.
  struct Losses {
    std::uint64_t total = 0;
    std::uint64_t beforeIdle = 0;
    bool counted = true;
  };

  explicit StationTable(Options options);

  // The losses known at `now`; called before each Apply and Tick whose
  // snapshots they may concern. A loss may have been any station's, so each
  // station whose tree was complete is in doubt from now on.
  void NoteLosses(const Losses& losses, const Moment& now);

  // Takes in one well-formed datagram; changes nothing when it is refused.
  Verdict Apply(const wire::Datagram& datagram, const wire::Endpoint& from,
                const Moment& now);

  // What time alone changes: snapshots that have settled, stations that
  // fell silent.
  void Tick(const Moment& now);

  // A point the broker held when the gateway connected.
  struct HeldPoint {
    std::string mac;
    std::string name;
  };
  // The points the broker held: they count among their station's points
  // and, not being in the station's next snapshot, are cleared by it, as
  // the gateway before this one would have done.
  void Learn(const std::vector<HeldPoint>& held);

  // Every station still online taken offline, for a gateway that stops:
  // their MACs, in order. Observers are not told: nothing follows.
  std::vector<std::string> GoOffline();

  // `observer` (which outlives the table) follows every change from now on.
  void Follow(StationObserver* observer) { observers_.push_back(observer); }

  std::size_t station_count() const { return stations_.size(); }
  std::size_t online_count() const;
  // Stations whose tree may be stale: no complete last snapshot here.
  std::size_t incomplete_count() const;
  // Where an online station was last heard from.
  std::optional<wire::Endpoint> AddressOf(const std::string& mac) const;
  // Whether the station's last snapshot here was complete: its tree holds
  // every point it has, and none it no longer has.
  bool IsComplete(const std::string& mac) const;
  // Whether a loss was told within the settle time before `now` (or loss
  // is not counted): a snapshot that began now would be incomplete.
  bool LossesRecent(const Moment& now) const;
  // Snapshots that ended incomplete, and points cleared, since the start.
  std::uint64_t incomplete_snapshots() const { return incompleteSnapshots_; }
  std::uint64_t cleared_points() const { return clearedPoints_; }

  // What a station's status message tells, for readers other than the
  // broker.
  struct StationState {
    bool online = false;
    wire::Endpoint from;
    std::chrono::system_clock::time_point lastSeen;
    // A complete snapshot has ended, the last one at `lastSnapshot`.
    bool everSnapshot = false;
    std::chrono::system_clock::time_point lastSnapshot;
    std::size_t points = 0;
    // The last snapshot that ended was complete.
    bool complete = false;
  };
  // False for a station the table does not keep.
  bool State(const std::string& mac, StationState* out) const;

  // Every station's MAC, in order.
  std::vector<std::string> Macs() const;
  // Each point the table holds of `mac`, in the order of their names.
  template <typename Visit>
  void ForEachPoint(const std::string& mac, Visit visit) const {
    const auto found = stations_.find(mac);
    if (found == stations_.end()) return;
    for (const auto& [name, point] : found->second.points)
      visit(name, point.value, point.received);
  }

 private:
  struct Point {
    std::string value;
    std::chrono::system_clock::time_point received;
  };
  struct Station {
    std::string mac;
    wire::Endpoint from;
    std::map<std::string, Point> points;
    // Points the broker held that no datagram has brought since.
    std::set<std::string> held;
    // The names of the last complete snapshot, and of every incomplete one
    // since: what the next complete one may clear.
    std::set<std::string> lastSnapshot;
    bool inSnapshot = false;
    // The loss count that opens the running snapshot's window, and whether
    // it is in doubt from its start.
    std::uint64_t lossBaseline = 0;
    bool lossBeforeStart = false;
    std::set<std::string> snapshotNames;
    std::set<std::string> itemsSinceSnapshotBegan;
    std::chrono::steady_clock::time_point lastSnapshotDatagram;
    std::chrono::system_clock::time_point lastSnapshotDatagramWall;
    bool everSnapshot = false;
    // When the last datagram of the last complete snapshot arrived.
    std::chrono::system_clock::time_point lastSnapshotEnded;
    bool complete = false;
    bool online = false;
    std::chrono::steady_clock::time_point lastSeen;
    std::chrono::system_clock::time_point lastSeenWall;
  };

  Verdict Admit(const std::string& mac, const wire::Endpoint& from,
                const Moment& now, Station** station);
  // The records of an admitted datagram.
  void Apply(const wire::Datagram& datagram, Station& station,
             const Moment& now);
  void BeginSnapshot(Station& station, const Moment& now);
  void EndSnapshot(Station& station, const Moment& now);
  void SetPoint(Station& station, std::string_view name, std::string_view value,
                const Moment& now);

  Options options_;
  std::map<std::string, TrustedStation> trusted_;
  std::map<std::string, Station> stations_;
  // Held points of stations not heard from yet, by MAC.
  std::map<std::string, std::set<std::string>> held_;
  std::vector<StationObserver*> observers_;
  Losses losses_;
  // When the loss count last grew; none yet when unset.
  std::optional<std::chrono::steady_clock::time_point> lossGrew_;
  std::uint64_t incompleteSnapshots_ = 0;
  std::uint64_t clearedPoints_ = 0;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_STATION_TABLE_H_

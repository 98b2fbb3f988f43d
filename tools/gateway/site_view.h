// What the operator's page shows: every station and point as the gateway
// last saw them, each point's recent numeric values with their times, each
// station's last events, the names and alarms the site file gives, and a
// numbered log of changes that live streams follow. The station table
// tells it what changed, the main loop where each admitted datagram came
// from and which site file holds; the HTTP threads read it. Everything in
// it is bounded: points by the station table's limits, histories, events,
// alarms and the change log by the constants below and in alarm_list.h.
#ifndef PELMORA_TOOLS_GATEWAY_SITE_VIEW_H_
#define PELMORA_TOOLS_GATEWAY_SITE_VIEW_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "alarm_list.h"
#include "datagram.h"
#include "site_file.h"
#include "station_commands.h"
#include "station_table.h"
#include "sync/mutex.h"
#include "udp_receiver.h"

namespace pelmora::gateway {

// Numeric values per point that its sparkline shows, each change sent
// with them, and that every point may keep whatever the others hold.
inline constexpr std::size_t kTrendValues = 60;
// A point's history for its chart: at most this many numeric changes with
// their times (an hour of one a second), those beyond kTrendValues taken
// only while all points together hold fewer than kHistoryBeyondTrends.
inline constexpr std::size_t kHistoryPerPoint = 3600;
inline constexpr std::size_t kHistoryBeyondTrends = 2000000;
// Events kept per station, the newest first.
inline constexpr std::size_t kStationEvents = 50;
// Changes kept for live streams; a stream that falls further behind is
// told to reload.
inline constexpr std::size_t kChangeLog = 20000;
// Writes from the page waiting for the main loop, which takes them every
// few milliseconds.
inline constexpr std::size_t kPageWrites = 64;

class SiteView : public StationObserver {
 public:
  // One change as a live stream sends it: its number, its kind ("station",
  // "point", "cleared", "event", "command", "alarm", "site") and its JSON;
  // an alarm's and the site file's are for every stream (`mac` empty). Shared,
  // never changed once logged: every stream sends the same one.
  struct Change {
    std::uint64_t id = 0;
    std::string mac;
    std::string_view kind;
    std::string json;
  };
  // What a stream has to send: the changes after its number, or, when it
  // missed some the log no longer holds, `reload`: read the whole state
  // again. `last` is the number it stands at afterwards.
  struct Changes {
    std::vector<std::shared_ptr<const Change>> changes;
    bool reload = false;
    std::uint64_t last = 0;
  };

  // A reading of one station's points in name order, taken a chunk at a
  // time: the station's points are never copied, nor their whole JSON
  // made at once. The caller sets the query; ReadPoints() keeps its place.
  struct PointsQuery {
    std::string filter;      // part of the decoded name; "" for every point
    std::string after;       // raw name: only the points after it
    std::size_t offset = 0;  // matching points passed over first
    std::size_t limit = 0;   // matching points sent at most
    // Where the reading stands.
    std::string last;  // the raw name visited last
    bool started = false;
    bool done = false;
    std::size_t matched = 0;  // matching points visited so far
    std::size_t sent = 0;
  };

  // `epoch` names this numbering of changes: a reader holding a number of
  // another epoch (another gateway's, or this one's before a restart)
  // reads everything again. By default a random one.
  explicit SiteView(std::string epoch = NewEpoch());
  static std::string NewEpoch();
  const std::string& epoch() const { return epoch_; }

  // A write the page asked for: station, point name, value in GBK, and the
  // page's id of it, which every outcome of it carries.
  struct PageWrite {
    std::string mac;
    std::string name;
    std::string value;
    std::string id;
  };

  // The main loop's side.
  // The stations whose keys the gateway holds: commands to them are
  // possible.
  void SetKeyed(std::set<std::string> macs);
  // The writes the page asked for since the last call, in order.
  std::vector<PageWrite> TakeWrites();
  // A command's outcome, whoever asked for it, as a "command" change.
  void Outcome(const wire::CommandOutcome& outcome);
  // A datagram the table admitted from `from` has been taken in (its
  // records came through the calls below).
  void Admit(const std::string& mac, const wire::Endpoint& from,
             const Moment& now, const StationTable& table);
  // A malformed datagram, counted against the station last heard from
  // that address and port, if any.
  void Malformed(const wire::Endpoint& from);
  // From now on follows `table` (which outlives the view): its points,
  // events, statuses and cleared points.
  void Watch(StationTable* table);
  // The site file's names and rules from now on (none: no names, no
  // alarms): every point's line is looked up again and its limits
  // checked, and every page is told to read everything again.
  void SetSite(std::shared_ptr<const SiteFile> site, const Moment& now);

  // What the watched table tells, on the main loop's thread, before the
  // Admit() of the datagram that caused it; in order, so that a point
  // cleared and set again by the same datagram stays.
  void StationOnline(const std::string& mac, const Moment& now) override;
  void PointSet(const std::string& mac, std::string_view name,
                std::string_view value, const Moment& now) override;
  void Event(const std::string& mac, std::string_view record,
             const Moment& now) override;
  void DatagramDone(const std::string&, const Moment&) override {}
  void SnapshotEnded(const std::string& mac,
                     const std::vector<std::string>& cleared, bool complete,
                     const Moment& now) override;
  void TreeInDoubt(const std::string& mac, const Moment& now) override;
  void StationSilent(const std::string& mac, const Moment& now) override;
  void PointsHeld(const std::string& mac) override;

  // The HTTP threads' side; every text is JSON.
  std::string Stations(std::chrono::system_clock::time_point now) const;
  bool HasStation(const std::string& mac) const;
  // Appends to `out` the JSON objects of the query's next points, comma
  // separated as elements of one array, up to `budget` of them, holding
  // the lock for a bounded number of points only; `query->done` once every
  // point has been visited. A point matches when its decoded name holds
  // the filter (case-insensitive for ASCII). False when the station is
  // not, or no longer, kept.
  bool ReadPoints(const std::string& mac, PointsQuery* query,
                  std::size_t budget, std::string* out) const;
  // The whole answer of a query at once, `{"last_change","epoch","points",
  // "matched","more"}`, for callers that want it in one piece.
  bool Points(const std::string& mac, std::string_view filter,
              std::size_t offset, std::size_t limit, std::string* out) const;
  // One point by the hex of its name's bytes: its last values for the
  // sparkline, and its whole history with times (milliseconds since the
  // epoch), the oldest first.
  bool Trend(const std::string& mac, std::string_view id,
             std::string* out) const;
  bool Events(const std::string& mac, std::string* out) const;
  // Queues a write to the point whose name's bytes are `id` in hex; false
  // with the HTTP status and why when the station or point is unknown
  // (404) or too many wait (503).
  bool RequestWrite(const std::string& mac, std::string_view id,
                    std::string value, std::string writeId, int* status,
                    std::string* why);
  // The alarm list, newest change first, and the journal of its changes.
  std::string Alarms() const;
  std::string AlarmJournal() const;
  // An operator's acknowledgement of alarm `id`, recorded with the time
  // and `by`; false when no alarm in the list has that id.
  bool Acknowledge(std::uint64_t id, const std::string& by,
                   std::chrono::system_clock::time_point now);
  // The number of the last change so far.
  std::uint64_t LastChange() const;
  // The changes after `after` (of station `mac` only, when not empty),
  // waiting up to `wait` for one; a number beyond the last, or one whose
  // successors the log has dropped, is a reload.
  Changes ChangesAfter(std::uint64_t after, const std::string& mac,
                       std::chrono::milliseconds wait) const;
  // Wakes every ChangesAfter() that waits, as when the server stops.
  void WakeReaders() const;

 private:
  struct Sample {
    std::int64_t ms;  // since the epoch, UTC
    double value;
  };
  struct Point {
    std::string value;
    std::chrono::system_clock::time_point changed;
    std::uint64_t changes = 0;
    // Its line of the site file, if any.
    const PointRule* rule = nullptr;
    // A ring of the last numeric values with their times, the oldest at
    // historyStart: no memory for a point that never had a number.
    std::vector<Sample> history;
    std::size_t historyStart = 0;
  };
  struct KeptEvent {
    std::string record;
    std::chrono::system_clock::time_point received;
  };
  struct Station {
    StationTable::StationState state;
    // When its last change was logged: a station heard from, or sending
    // malformed datagrams, is logged again at most once a second.
    std::chrono::steady_clock::time_point logged;
    std::uint64_t malformed = 0;
    std::map<std::string, Point> points;  // by raw name
    std::deque<KeptEvent> events;
  };

  Station& Find(const std::string& mac) REQUIRES(mutex_);
  // Keeps `sample` in the point's history: it grows while within its
  // bounds, else the oldest goes.
  void KeepSample(Point& point, Sample sample) REQUIRES(mutex_);
  // The point's history no longer kept.
  void DropHistory(Point& point) REQUIRES(mutex_);
  // The point a page names by the hex of its name's bytes, if any.
  const Point* FindPoint(const Station& station, std::string_view id) const
      REQUIRES(mutex_);
  // Whether a reader after change `after` missed changes for good (a
  // number beyond the last, or the log has dropped its successors): it
  // reads the whole state again.
  bool Missed(std::uint64_t after) const REQUIRES(mutex_);
  // Logs the station as the watched table has it now.
  void Restate(const std::string& mac) REQUIRES(mutex_);
  void Log(const std::string& mac, const char* kind, std::string json)
      REQUIRES(mutex_);
  // Alarms changed, as changes for every stream.
  void LogAlarms(const std::vector<AlarmList::Alarm>& changed) REQUIRES(mutex_);
  const PointRule* RuleOf(const std::string& mac, std::string_view name) const
      REQUIRES(mutex_);
  std::string StationJson(const std::string& mac, const Station& station,
                          std::chrono::system_clock::time_point now) const
      REQUIRES(mutex_);

  const std::string epoch_;
  // The main loop's thread only, as the calls that read it.
  const StationTable* table_ = nullptr;
  mutable Mutex mutex_;
  mutable std::condition_variable_any logged_;
  std::map<std::string, Station> stations_ GUARDED_BY(mutex_);
  // The MAC last admitted from each address and port.
  std::unordered_map<std::uint64_t, std::string> macOf_ GUARDED_BY(mutex_);
  std::deque<std::shared_ptr<const Change>> log_ GUARDED_BY(mutex_);
  std::set<std::string> keyed_ GUARDED_BY(mutex_);
  std::vector<PageWrite> writes_ GUARDED_BY(mutex_);
  std::uint64_t lastId_ GUARDED_BY(mutex_) = 0;
  std::shared_ptr<const SiteFile> site_ GUARDED_BY(mutex_);
  AlarmList alarms_ GUARDED_BY(mutex_);
  // Samples held beyond each point's first kTrendValues, in all.
  std::size_t historyBeyondTrends_ GUARDED_BY(mutex_) = 0;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_SITE_VIEW_H_

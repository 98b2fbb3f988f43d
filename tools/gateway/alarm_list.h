// The site-wide alarm list: events that a site file's event line matches,
// and numeric values beyond a point line's limits. An alarm is
// unacknowledged when raised; an operator acknowledges it; a limit alarm
// returns to normal when its value is back within the limits (or no
// number, or the point is gone). An alarm leaves the list once it is both
// acknowledged and returned; an event, which has no condition that lasts,
// returns at once. An alarm raised again while in the list counts one more
// and is unacknowledged again. Every change is kept in a journal of the
// last kAlarmJournal changes. Pure rules: time comes in as an argument;
// its owner guards it.
#ifndef PELMORA_TOOLS_GATEWAY_ALARM_LIST_H_
#define PELMORA_TOOLS_GATEWAY_ALARM_LIST_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "site_file.h"

namespace pelmora::gateway {

// Alarms in the list at once: one beyond is not kept, and counted.
inline constexpr std::size_t kAlarmsKept = 10000;
// Alarm changes kept in the journal, the newest first.
inline constexpr std::size_t kAlarmJournal = 1000;

class AlarmList {
 public:
  using Time = std::chrono::system_clock::time_point;
  enum class Kind { kHigh, kLow, kEvent };
  struct Alarm {
    std::uint64_t id = 0;
    std::string mac;
    // The point's name, or the event's record, as sent (GBK).
    std::string source;
    Kind kind = Kind::kEvent;
    Severity severity = Severity::kWarning;
    bool active = false;
    bool acknowledged = false;
    std::uint64_t count = 0;
    std::string value;  // the value or event that raised it last
    Time raised;        // first raised
    Time changed;       // last raised, acknowledged or returned
    Time acknowledgedAt;
    std::string acknowledgedBy;
  };

  // A point's value: raises, changes or returns its limit alarm by `rule`
  // (none: no limits). The alarm changed, if any, in `changed`.
  void PointValue(const std::string& mac, std::string_view name,
                  std::string_view value, const PointRule* rule, Time now,
                  std::vector<Alarm>* changed);
  // An event of `mac`, matched by `rule` (none: no alarm).
  void Event(const std::string& mac, std::string_view record,
             const EventRule* rule, Time now, std::vector<Alarm>* changed);
  // The operator's acknowledgement; false when no alarm has that id.
  bool Acknowledge(std::uint64_t id, const std::string& by, Time now,
                   std::vector<Alarm>* changed);

  // Whether the alarm is still in the list after its last change.
  static bool Listed(const Alarm& alarm) {
    return !(alarm.acknowledged && !alarm.active);
  }
  // "unacknowledged", "acknowledged", "returned" (unacknowledged, its
  // condition gone) or "closed" (it left the list).
  static const char* StateName(const Alarm& alarm);
  static std::string Json(const Alarm& alarm);

  // The list, newest change first, and the journal, newest first.
  std::string ListJson() const;
  std::string JournalJson() const;
  // Alarms not kept for want of room.
  std::uint64_t overflow() const { return overflow_; }

 private:
  void Changed(Alarm& alarm, const std::string& key, Time now,
               std::vector<Alarm>* changed);
  // A new alarm under `key`, unless the list is full.
  Alarm* Raise(const std::string& key, const std::string& mac,
               std::string_view source, Kind kind, Severity severity, Time now);

  std::map<std::string, Alarm> alarms_;        // by station, kind and source
  std::map<std::uint64_t, std::string> keys_;  // id to key
  std::deque<std::string> journal_;            // JSON, newest first
  std::uint64_t lastId_ = 0;
  std::uint64_t overflow_ = 0;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_ALARM_LIST_H_

#include "alarm_list.h"

#include <algorithm>

#include "hex_text.h"
#include "json_text.h"
#include "number_text.h"
#include "station_table.h"

namespace pelmora::gateway {

namespace {

const char* KindName(AlarmList::Kind kind) {
  switch (kind) {
    case AlarmList::Kind::kHigh:
      return "high";
    case AlarmList::Kind::kLow:
      return "low";
    case AlarmList::Kind::kEvent:
      break;
  }
  return "event";
}

// A point's limit alarm and an event's are told apart by their key, so a
// point named as some event's record is still another alarm.
std::string KeyOf(const std::string& mac, char kind, std::string_view source) {
  std::string key = mac;
  key.push_back('\0');
  key.push_back(kind);
  key.append(source);
  return key;
}

}  // namespace

const char* AlarmList::StateName(const Alarm& alarm) {
  if (!Listed(alarm)) return "closed";
  if (alarm.acknowledged) return "acknowledged";
  // An event is over as it comes: only its acknowledgement is awaited.
  return alarm.active || alarm.kind == Kind::kEvent ? "unacknowledged"
                                                    : "returned";
}

std::string AlarmList::Json(const Alarm& alarm) {
  wire::JsonObject json;
  json.Number("id", alarm.id)
      .Text("station", alarm.mac)
      .Text("kind", KindName(alarm.kind));
  if (alarm.kind == Kind::kEvent) {
    json.HostText("event", alarm.source, wire::TextEncoding::kGbk);
  } else {
    json.Text("point", wire::HexOf(alarm.source))
        .HostText("name", alarm.source, wire::TextEncoding::kGbk);
  }
  json.Text("severity", SeverityName(alarm.severity))
      .Text("state", StateName(alarm))
      .Bool("active", alarm.active)
      .Number("count", alarm.count)
      .HostText("value", alarm.value, wire::TextEncoding::kGbk)
      .Text("raised", WallText(alarm.raised))
      .Text("changed", WallText(alarm.changed));
  if (alarm.acknowledged) {
    json.Text("acknowledged_at", WallText(alarm.acknowledgedAt))
        .Utf8Text("acknowledged_by", alarm.acknowledgedBy);
  } else {
    json.Null("acknowledged_at").Null("acknowledged_by");
  }
  return json.Close();
}

AlarmList::Alarm* AlarmList::Raise(const std::string& key,
                                   const std::string& mac,
                                   std::string_view source, Kind kind,
                                   Severity severity, Time now) {
  if (alarms_.size() >= kAlarmsKept) {
    ++overflow_;
    return nullptr;
  }
  Alarm& alarm = alarms_[key];
  alarm.id = ++lastId_;
  alarm.mac = mac;
  alarm.source = source;
  alarm.kind = kind;
  alarm.severity = severity;
  alarm.raised = now;
  keys_[alarm.id] = key;
  return &alarm;
}

void AlarmList::Changed(Alarm& alarm, const std::string& key, Time now,
                        std::vector<Alarm>* changed) {
  alarm.changed = now;
  changed->push_back(alarm);
  journal_.push_front(Json(alarm));
  if (journal_.size() > kAlarmJournal) journal_.pop_back();
  if (!Listed(alarm)) {
    keys_.erase(alarm.id);
    alarms_.erase(key);
  }
}

void AlarmList::PointValue(const std::string& mac, std::string_view name,
                           std::string_view value, const PointRule* rule,
                           Time now, std::vector<Alarm>* changed) {
  // Most points have no limits and most sites no alarm standing: no key
  // made, no number read, for each of their changes.
  if ((rule == nullptr || (!rule->low && !rule->high)) && alarms_.empty())
    return;
  double number = 0;
  const bool numeric = wire::ParseDecimalNumber(value, &number);
  const bool high =
      rule != nullptr && numeric && rule->high && number > *rule->high;
  const bool low =
      rule != nullptr && numeric && rule->low && number < *rule->low;
  const std::string key = KeyOf(mac, 'p', name);
  const auto found = alarms_.find(key);
  if (!high && !low) {
    if (found == alarms_.end() || !found->second.active) return;
    found->second.active = false;
    Changed(found->second, key, now, changed);
    return;
  }
  const Kind kind = high ? Kind::kHigh : Kind::kLow;
  Alarm* alarm = found == alarms_.end() ? nullptr : &found->second;
  if (alarm != nullptr && alarm->active && alarm->kind == kind &&
      alarm->severity == rule->severity) {
    alarm->value = value;  // still beyond the same limit: no new alarm
    return;
  }
  if (alarm == nullptr) {
    alarm = Raise(key, mac, name, kind, rule->severity, now);
    if (alarm == nullptr) return;
  }
  alarm->kind = kind;
  alarm->severity = rule->severity;
  alarm->active = true;
  alarm->acknowledged = false;
  alarm->value = value;
  ++alarm->count;
  Changed(*alarm, key, now, changed);
}

void AlarmList::Event(const std::string& mac, std::string_view record,
                      const EventRule* rule, Time now,
                      std::vector<Alarm>* changed) {
  if (rule == nullptr) return;
  const std::string key = KeyOf(mac, 'e', record);
  const auto found = alarms_.find(key);
  Alarm* alarm = found == alarms_.end() ? nullptr : &found->second;
  if (alarm == nullptr) {
    alarm = Raise(key, mac, record, Kind::kEvent, rule->severity, now);
    if (alarm == nullptr) return;
  }
  alarm->severity = rule->severity;
  alarm->active = false;  // nothing lasts after an event
  alarm->acknowledged = false;
  alarm->value = record;
  ++alarm->count;
  Changed(*alarm, key, now, changed);
}

bool AlarmList::Acknowledge(std::uint64_t id, const std::string& by, Time now,
                            std::vector<Alarm>* changed) {
  const auto key = keys_.find(id);
  if (key == keys_.end()) return false;
  Alarm& alarm = alarms_.at(key->second);
  if (alarm.acknowledged) return true;
  alarm.acknowledged = true;
  alarm.acknowledgedAt = now;
  alarm.acknowledgedBy = by;
  Changed(alarm, std::string(key->second), now, changed);
  return true;
}

std::string AlarmList::ListJson() const {
  std::vector<const Alarm*> newest;
  newest.reserve(alarms_.size());
  for (const auto& [key, alarm] : alarms_) newest.push_back(&alarm);
  std::sort(newest.begin(), newest.end(), [](const Alarm* a, const Alarm* b) {
    return a->changed != b->changed ? a->changed > b->changed : a->id > b->id;
  });
  wire::JsonArray list;
  for (const Alarm* alarm : newest) list.Json(Json(*alarm));
  return wire::JsonObject()
      .Json("alarms", list.Close())
      .Number("not_kept", overflow_)
      .Close();
}

std::string AlarmList::JournalJson() const {
  wire::JsonArray journal;
  for (const std::string& entry : journal_) journal.Json(entry);
  return wire::JsonObject().Json("journal", journal.Close()).Close();
}

}  // namespace pelmora::gateway

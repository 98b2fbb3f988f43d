#include "site_view.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include "code_page.h"
#include "command_topics.h"
#include "hex_text.h"
#include "json_text.h"
#include "number_text.h"

namespace pelmora::gateway {

namespace {

using std::chrono::system_clock;

std::uint64_t KeyOf(const wire::Endpoint& from) {
  return std::uint64_t{from.address} << 16 | from.port;
}

std::string Decimal(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

// The ring's last kTrendValues values, the oldest first.
template <typename Sample>
std::string TrendJson(const std::vector<Sample>& history, std::size_t start) {
  wire::JsonArray json;
  const std::size_t size = history.size();
  for (std::size_t i = size - std::min(size, kTrendValues); i < size; ++i)
    json.Json(Decimal(history[(start + i) % size].value));
  return json.Close();
}

// The name as the page shows it: decoded from GBK, U+FFFD for a byte that
// starts no GBK character ("name_raw" then gives the bytes), and "id", the
// name's bytes in hex, by which the page and the endpoints name a point.
// With its site file's line, what the page shows beside it: description,
// unit, decimals and limits, each only when the line gives it.
wire::JsonObject& PointFields(wire::JsonObject& object, const std::string& mac,
                              std::string_view name, std::string_view value,
                              system_clock::time_point changed,
                              std::uint64_t changes, const PointRule* rule) {
  object.Text("station", mac)
      .Text("id", wire::HexOf(name))
      .HostText("name", name, wire::TextEncoding::kGbk)
      .HostText("value", value, wire::TextEncoding::kGbk)
      .Text("changed", WallText(changed))
      .Number("changes", changes);
  if (rule == nullptr) return object;
  if (!rule->description.empty())
    object.Utf8Text("description", rule->description);
  if (!rule->unit.empty()) object.Utf8Text("unit", rule->unit);
  if (rule->decimals >= 0)
    object.Number("decimals", static_cast<std::uint64_t>(rule->decimals));
  if (rule->low) object.Json("low", Decimal(*rule->low));
  if (rule->high) object.Json("high", Decimal(*rule->high));
  return object;
}

std::string EventJson(const std::string& mac, std::string_view record,
                      system_clock::time_point received) {
  std::string_view a;
  std::string_view b;
  wire::SplitRecord(record, &a, &b);
  return wire::JsonObject()
      .Text("station", mac)
      .HostText("a", a, wire::TextEncoding::kGbk)
      .HostText("b", b, wire::TextEncoding::kGbk)
      .Text("received", WallText(received))
      .Close();
}

// Case-insensitive for ASCII, as an operator types a filter.
bool Holds(std::string_view text, std::string_view part) {
  if (part.empty()) return true;
  auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  for (std::size_t i = 0; i + part.size() <= text.size(); ++i) {
    std::size_t j = 0;
    while (j < part.size() && lower(text[i + j]) == lower(part[j])) ++j;
    if (j == part.size()) return true;
  }
  return false;
}

// Points visited at most while the lock is held for one chunk, so that
// the main loop waits for a few thousand names at most, not a station.
constexpr std::size_t kVisitsPerLock = 4096;

}  // namespace

SiteView::SiteView(std::string epoch) : epoch_(std::move(epoch)) {}

std::string SiteView::NewEpoch() {
  std::random_device random;
  const std::uint64_t bits =
      std::uint64_t{random()} << 32 ^ random() ^
      static_cast<std::uint64_t>(
          system_clock::now().time_since_epoch().count());
  char text[17];
  std::snprintf(text, sizeof text, "%016llx",
                static_cast<unsigned long long>(bits));
  return text;
}

SiteView::Station& SiteView::Find(const std::string& mac) {
  return stations_[mac];
}

const SiteView::Point* SiteView::FindPoint(const Station& station,
                                           std::string_view id) const {
  std::string name(id.size() / 2, '\0');
  if (id.size() % 2 != 0 ||
      !wire::ParseHexBytes(id, reinterpret_cast<std::uint8_t*>(name.data()),
                           name.size())) {
    return nullptr;
  }
  const auto point = station.points.find(name);
  return point == station.points.end() ? nullptr : &point->second;
}

void SiteView::KeepSample(Point& point, Sample sample) {
  std::vector<Sample>& ring = point.history;
  const bool room = ring.size() < kTrendValues ||
                    (ring.size() < kHistoryPerPoint &&
                     historyBeyondTrends_ < kHistoryBeyondTrends);
  if (!room) {
    ring[point.historyStart] = sample;
    point.historyStart = (point.historyStart + 1) % ring.size();
    return;
  }
  // A ring that wraps grows again only once it is in order.
  if (point.historyStart != 0) {
    std::rotate(ring.begin(),
                ring.begin() + static_cast<std::ptrdiff_t>(point.historyStart),
                ring.end());
    point.historyStart = 0;
  }
  const std::size_t before = std::max(ring.capacity(), kTrendValues);
  ring.push_back(sample);
  historyBeyondTrends_ += std::max(ring.capacity(), kTrendValues) - before;
}

void SiteView::DropHistory(Point& point) {
  historyBeyondTrends_ -=
      std::max(point.history.capacity(), kTrendValues) - kTrendValues;
  point.history = {};
  point.historyStart = 0;
}

void SiteView::Log(const std::string& mac, const char* kind, std::string json) {
  log_.push_back(std::make_shared<const Change>(
      Change{++lastId_, mac, kind, std::move(json)}));
  if (log_.size() > kChangeLog) log_.pop_front();
  logged_.notify_all();
}

void SiteView::Admit(const std::string& mac, const wire::Endpoint& from,
                     const Moment& now, const StationTable& table) {
  Locked<Mutex> lock(mutex_);
  Station& station = Find(mac);
  table.State(mac, &station.state);
  macOf_[KeyOf(from)] = mac;
  if (now.steady - station.logged >= std::chrono::seconds(1)) {
    station.logged = now.steady;
    Log(mac, "station", StationJson(mac, station, now.wall));
  }
}

void SiteView::PointSet(const std::string& mac, std::string_view name,
                        std::string_view value, const Moment& now) {
  Locked<Mutex> lock(mutex_);
  auto [found, added] = Find(mac).points.try_emplace(std::string(name));
  Point& point = found->second;
  // A snapshot repeats every value: only a new one is a change.
  if (!added && point.value == value) return;
  point.value = value;
  point.changed = now.wall;
  ++point.changes;
  double number = 0;
  if (wire::ParseDecimalNumber(point.value, &number)) {
    KeepSample(point, {std::chrono::duration_cast<std::chrono::milliseconds>(
                           now.wall.time_since_epoch())
                           .count(),
                       number});
  }
  wire::JsonObject json;
  if (added) point.rule = RuleOf(mac, name);
  PointFields(json, mac, name, value, point.changed, point.changes, point.rule)
      .Json("trend", TrendJson(point.history, point.historyStart));
  Log(mac, "point", json.Close());
  std::vector<AlarmList::Alarm> changed;
  alarms_.PointValue(mac, name, value, point.rule, now.wall, &changed);
  LogAlarms(changed);
}

const PointRule* SiteView::RuleOf(const std::string& mac,
                                  std::string_view name) const {
  return site_ ? site_->PointOf(mac, wire::GbkToUtf8(name)) : nullptr;
}

void SiteView::LogAlarms(const std::vector<AlarmList::Alarm>& changed) {
  for (const AlarmList::Alarm& alarm : changed)
    Log("", "alarm", AlarmList::Json(alarm));
}

void SiteView::SetSite(std::shared_ptr<const SiteFile> site,
                       const Moment& now) {
  Locked<Mutex> lock(mutex_);
  site_ = std::move(site);
  std::vector<AlarmList::Alarm> changed;
  for (auto& [mac, station] : stations_) {
    for (auto& [name, point] : station.points) {
      point.rule = RuleOf(mac, name);
      alarms_.PointValue(mac, name, point.value, point.rule, now.wall,
                         &changed);
    }
  }
  LogAlarms(changed);
  Log("", "site", "{}");
}

std::string SiteView::Alarms() const {
  Locked<Mutex> lock(mutex_);
  return alarms_.ListJson();
}

std::string SiteView::AlarmJournal() const {
  Locked<Mutex> lock(mutex_);
  return alarms_.JournalJson();
}

bool SiteView::Acknowledge(std::uint64_t id, const std::string& by,
                           system_clock::time_point now) {
  Locked<Mutex> lock(mutex_);
  std::vector<AlarmList::Alarm> changed;
  if (!alarms_.Acknowledge(id, by, now, &changed)) return false;
  LogAlarms(changed);
  return true;
}

void SiteView::Event(const std::string& mac, std::string_view record,
                     const Moment& now) {
  Locked<Mutex> lock(mutex_);
  Station& station = Find(mac);
  station.events.push_front({std::string(record), now.wall});
  if (station.events.size() > kStationEvents) station.events.pop_back();
  Log(mac, "event", EventJson(mac, record, now.wall));
  if (!site_) return;
  std::string_view a;
  std::string_view b;
  wire::SplitRecord(record, &a, &b);
  std::vector<AlarmList::Alarm> changed;
  alarms_.Event(mac, record,
                site_->EventOf(mac, wire::GbkToUtf8(a), wire::GbkToUtf8(b)),
                now.wall, &changed);
  LogAlarms(changed);
}

void SiteView::Malformed(const wire::Endpoint& from) {
  Locked<Mutex> lock(mutex_);
  const auto known = macOf_.find(KeyOf(from));
  if (known == macOf_.end()) return;
  Station& station = Find(known->second);
  ++station.malformed;
  // A flood of them must not push the other changes out of the log.
  const auto now = std::chrono::steady_clock::now();
  if (now - station.logged < std::chrono::seconds(1)) return;
  station.logged = now;
  Log(known->second, "station",
      StationJson(known->second, station, system_clock::now()));
}

void SiteView::Watch(StationTable* table) {
  table_ = table;
  table->Follow(this);
}

void SiteView::Restate(const std::string& mac) {
  StationTable::StationState state;
  if (table_ == nullptr || !table_->State(mac, &state)) return;
  Station& station = Find(mac);
  station.state = state;
  Log(mac, "station", StationJson(mac, station, system_clock::now()));
}

void SiteView::StationOnline(const std::string& mac, const Moment&) {
  Locked<Mutex> lock(mutex_);
  Restate(mac);
}

void SiteView::TreeInDoubt(const std::string& mac, const Moment&) {
  Locked<Mutex> lock(mutex_);
  Restate(mac);
}

void SiteView::SnapshotEnded(const std::string& mac,
                             const std::vector<std::string>& cleared, bool,
                             const Moment& now) {
  Locked<Mutex> lock(mutex_);
  const auto station = stations_.find(mac);
  if (station != stations_.end()) {
    std::vector<AlarmList::Alarm> changed;
    for (const std::string& name : cleared) {
      const auto point = station->second.points.find(name);
      if (point == station->second.points.end()) continue;
      DropHistory(point->second);
      station->second.points.erase(point);
      // A point gone is beyond no limit.
      alarms_.PointValue(mac, name, "", nullptr, now.wall, &changed);
      Log(mac, "cleared",
          wire::JsonObject()
              .Text("station", mac)
              .Text("id", wire::HexOf(name))
              .Close());
    }
    LogAlarms(changed);
  }
  Restate(mac);
}

void SiteView::StationSilent(const std::string& mac, const Moment&) {
  Locked<Mutex> lock(mutex_);
  Restate(mac);
}

void SiteView::PointsHeld(const std::string& mac) {
  Locked<Mutex> lock(mutex_);
  Restate(mac);
}

std::string SiteView::StationJson(const std::string& mac,
                                  const Station& station,
                                  system_clock::time_point now) const {
  const StationTable::StationState& state = station.state;
  wire::JsonObject json;
  json.Text("mac", mac)
      .Text("address", wire::EndpointText(state.from))
      .Bool("online", state.online)
      .Number("points", state.points)
      .Text("last_seen", WallText(state.lastSeen));
  const StationNames* names = site_ ? site_->Station(mac) : nullptr;
  if (names != nullptr) {
    json.Utf8Text("name", names->name).Utf8Text("place", names->place);
  } else {
    json.Null("name").Null("place");
  }
  if (state.everSnapshot) {
    json.Text("last_snapshot", WallText(state.lastSnapshot))
        .Number("snapshot_age_s",
                static_cast<std::uint64_t>(std::max<std::int64_t>(
                    0, std::chrono::duration_cast<std::chrono::seconds>(
                           now - state.lastSnapshot)
                           .count())));
  } else {
    json.Null("last_snapshot").Null("snapshot_age_s");
  }
  return json.Bool("complete", state.complete)
      .Number("malformed", station.malformed)
      .Bool("commands", keyed_.count(mac) != 0)
      .Close();
}

std::string SiteView::Stations(system_clock::time_point now) const {
  Locked<Mutex> lock(mutex_);
  wire::JsonArray stations;
  for (const auto& [mac, station] : stations_)
    stations.Json(StationJson(mac, station, now));
  return wire::JsonObject()
      .Number("last_change", lastId_)
      .Text("epoch", epoch_)
      .Json("stations", stations.Close())
      .Close();
}

bool SiteView::HasStation(const std::string& mac) const {
  Locked<Mutex> lock(mutex_);
  return stations_.count(mac) != 0;
}

bool SiteView::ReadPoints(const std::string& mac, PointsQuery* query,
                          std::size_t budget, std::string* out) const {
  Locked<Mutex> lock(mutex_);
  const auto station = stations_.find(mac);
  if (station == stations_.end()) return false;
  const auto& points = station->second.points;
  auto point = query->started         ? points.upper_bound(query->last)
               : query->after.empty() ? points.begin()
                                      : points.upper_bound(query->after);
  query->started = true;
  std::size_t sentNow = 0;
  for (std::size_t visits = 0;
       point != points.end() && visits < kVisitsPerLock && sentNow < budget;
       ++point, ++visits) {
    const auto& [name, value] = *point;
    query->last = name;
    if (!query->filter.empty() &&
        !Holds(wire::GbkToUtf8(name), query->filter)) {
      continue;
    }
    const std::size_t index = query->matched++;
    if (index < query->offset || query->sent >= query->limit) continue;
    if (query->sent++ != 0) out->push_back(',');
    ++sentNow;
    wire::JsonObject json;
    out->append(PointFields(json, mac, name, value.value, value.changed,
                            value.changes, value.rule)
                    .Json("trend", TrendJson(value.history, value.historyStart))
                    .Close());
  }
  query->done = point == points.end();
  return true;
}

bool SiteView::Points(const std::string& mac, std::string_view filter,
                      std::size_t offset, std::size_t limit,
                      std::string* out) const {
  PointsQuery query;
  query.filter = filter;
  query.offset = offset;
  query.limit = limit;
  const std::uint64_t lastChange = LastChange();
  std::string rows;
  while (!query.done) {
    if (!ReadPoints(mac, &query, limit, &rows)) return false;
  }
  *out = wire::JsonObject()
             .Number("last_change", lastChange)
             .Text("epoch", epoch_)
             .Json("points", "[" + rows + "]")
             .Number("matched", query.matched)
             .Bool("more", query.matched > offset + query.sent)
             .Close();
  return true;
}

bool SiteView::Trend(const std::string& mac, std::string_view id,
                     std::string* out) const {
  Locked<Mutex> lock(mutex_);
  const auto station = stations_.find(mac);
  if (station == stations_.end()) return false;
  const Point* point = FindPoint(station->second, id);
  if (point == nullptr) return false;
  wire::JsonArray samples;
  const std::size_t size = point->history.size();
  for (std::size_t i = 0; i < size; ++i) {
    const Sample& sample = point->history[(point->historyStart + i) % size];
    samples.Json("[" + std::to_string(sample.ms) + "," + Decimal(sample.value) +
                 "]");
  }
  *out = wire::JsonObject()
             .Text("station", mac)
             .Text("id", id)
             .Json("trend", TrendJson(point->history, point->historyStart))
             .Json("samples", samples.Close())
             .Close();
  return true;
}

bool SiteView::Events(const std::string& mac, std::string* out) const {
  Locked<Mutex> lock(mutex_);
  const auto station = stations_.find(mac);
  if (station == stations_.end()) return false;
  wire::JsonArray events;
  for (const KeptEvent& event : station->second.events)
    events.Json(EventJson(mac, event.record, event.received));
  *out = wire::JsonObject().Json("events", events.Close()).Close();
  return true;
}

void SiteView::SetKeyed(std::set<std::string> macs) {
  Locked<Mutex> lock(mutex_);
  keyed_ = std::move(macs);
}

std::vector<SiteView::PageWrite> SiteView::TakeWrites() {
  Locked<Mutex> lock(mutex_);
  std::vector<PageWrite> taken;
  taken.swap(writes_);
  return taken;
}

void SiteView::Outcome(const wire::CommandOutcome& outcome) {
  Locked<Mutex> lock(mutex_);
  Log(outcome.mac, "command",
      wire::JsonObject()
          .Text("station", outcome.mac)
          .Json("result", ResultPayload(outcome))
          .Close());
}

bool SiteView::RequestWrite(const std::string& mac, std::string_view id,
                            std::string value, std::string writeId, int* status,
                            std::string* why) {
  Locked<Mutex> lock(mutex_);
  const auto station = stations_.find(mac);
  if (station == stations_.end()) {
    *status = 404;
    *why = "no such station";
    return false;
  }
  if (FindPoint(station->second, id) == nullptr) {
    *status = 404;
    *why = "no such point";
    return false;
  }
  if (writes_.size() >= kPageWrites) {
    *status = 503;
    *why = "too many writes waiting";
    return false;
  }
  std::string name(id.size() / 2, '\0');
  wire::ParseHexBytes(id, reinterpret_cast<std::uint8_t*>(name.data()),
                      name.size());
  writes_.push_back(
      {mac, std::move(name), std::move(value), std::move(writeId)});
  return true;
}

std::uint64_t SiteView::LastChange() const {
  Locked<Mutex> lock(mutex_);
  return lastId_;
}

SiteView::Changes SiteView::ChangesAfter(std::uint64_t after,
                                         const std::string& mac,
                                         std::chrono::milliseconds wait) const {
  Locked<Mutex> lock(mutex_);
  Changes changes;
  if (!Missed(after) && lastId_ == after) logged_.wait_for(mutex_, wait);
  changes.last = lastId_;
  if (Missed(after)) {
    changes.reload = true;
    return changes;
  }
  if (lastId_ == after) return changes;
  const std::uint64_t oldest = log_.front()->id;
  for (auto change =
           log_.begin() + static_cast<std::ptrdiff_t>(after + 1 - oldest);
       change != log_.end(); ++change) {
    if (mac.empty() || (*change)->mac == mac || (*change)->mac.empty())
      changes.changes.push_back(*change);
  }
  return changes;
}

bool SiteView::Missed(std::uint64_t after) const {
  return after > lastId_ || (!log_.empty() && after + 1 < log_.front()->id);
}

void SiteView::WakeReaders() const {
  Locked<Mutex> lock(mutex_);
  logged_.notify_all();
}

}  // namespace pelmora::gateway

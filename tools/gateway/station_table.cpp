#include "station_table.h"

#include <cstdio>
#include <ctime>

#include "endpoint.h"
#include "json_text.h"
#include "tool_options.h"

namespace pelmora::gateway {

namespace {

std::uint32_t MaskOf(int prefixBits) {
  return prefixBits == 0 ? 0 : ~std::uint32_t{0} << (32 - prefixBits);
}

constexpr char kEmptyValuePayload = '\0';

}  // namespace

const char* RefusalName(Refusal refusal) {
  switch (refusal) {
    case Refusal::kNone:
      return "";
    case Refusal::kUnknownStation:
      return "unknown_station";
    case Refusal::kWrongAddress:
      return "wrong_address";
    case Refusal::kTooManyStations:
      return "too_many_stations";
  }
  return "";
}

bool ParseTrustedStation(std::string_view text, TrustedStation* out) {
  constexpr std::size_t kMacLength = 17;
  if (text.size() < kMacLength + 2 ||
      !wire::ParseMacText(text.substr(0, kMacLength), &out->mac))
    return false;
  text.remove_prefix(kMacLength);
  if (text.front() != ' ' && text.front() != '\t') return false;
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  const std::size_t slash = text.find('/');
  std::uint32_t address = 0;
  int bits = 32;
  if (!wire::ParseIpv4(text.substr(0, slash), &address) ||
      (slash != std::string_view::npos &&
       !wire::ParseNumber(text.substr(slash + 1), 0, 32, &bits)))
    return false;
  out->prefixBits = bits;
  out->network = address & MaskOf(out->prefixBits);
  return true;
}

std::string PayloadOfValue(std::string_view value) {
  if (!value.empty() && value.front() != kEmptyValuePayload)
    return std::string(value);
  return kEmptyValuePayload + std::string(value);
}

std::string ValueOfPayload(std::string_view payload) {
  if (!payload.empty() && payload.front() == kEmptyValuePayload)
    payload.remove_prefix(1);
  return std::string(payload);
}

std::string WallText(std::chrono::system_clock::time_point wall) {
  using namespace std::chrono;
  const auto sinceEpoch = duration_cast<milliseconds>(wall.time_since_epoch());
  const std::time_t seconds =
      static_cast<std::time_t>(sinceEpoch.count() / 1000);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour,
                utc.tm_min, utc.tm_sec,
                static_cast<int>(sinceEpoch.count() % 1000));
  return text;
}

StationTable::StationTable(Options options) : options_(std::move(options)) {
  for (const TrustedStation& station : options_.trusted)
    trusted_[wire::MacText(station.mac)] = station;
}

void StationTable::NoteLosses(const Losses& losses, const Moment& now,
                              std::vector<Message>* out) {
  const bool grew = losses.total > losses_.total || !losses.counted;
  losses_ = losses;
  if (!grew) return;
  lossGrew_ = now.steady;
  for (auto& [mac, station] : stations_) {
    if (!station.complete) continue;
    station.complete = false;
    if (options_.topicTree) out->push_back(StatusMessage(station));
    for (StationObserver* observer : observers_)
      observer->TreeInDoubt(mac, now);
  }
}

StationTable::Verdict StationTable::Admit(const std::string& mac,
                                          const wire::Endpoint& from,
                                          const Moment& now,
                                          Station** station) {
  if (!trusted_.empty()) {
    const auto trusted = trusted_.find(mac);
    if (trusted == trusted_.end()) return {Refusal::kUnknownStation};
    if ((from.address & MaskOf(trusted->second.prefixBits)) !=
        trusted->second.network) {
      return {Refusal::kWrongAddress};
    }
  }
  auto found = stations_.find(mac);
  if (found == stations_.end()) {
    if (stations_.size() >= options_.maxStations)
      return {Refusal::kTooManyStations};
    found = stations_.try_emplace(mac).first;
    found->second.mac = mac;
    const auto held = held_.find(mac);
    if (held != held_.end()) {
      found->second.held.swap(held->second);
      held_.erase(held);
    }
  }
  // Without a list, a station is bound to its address while it is online:
  // one that falls silent may come back from anywhere.
  Station& known = found->second;
  if (trusted_.empty() && known.online &&
      now.steady - known.lastSeen < options_.silence &&
      known.from.address != from.address) {
    return {Refusal::kWrongAddress};
  }
  *station = &known;
  return {};
}

StationTable::Verdict StationTable::Apply(const wire::Datagram& datagram,
                                          const wire::Endpoint& from,
                                          const Moment& now,
                                          std::vector<Message>* out) {
  const std::string mac = wire::MacText(datagram.mac);
  Station* admitted = nullptr;
  Verdict verdict = Admit(mac, from, now, &admitted);
  if (admitted == nullptr) return verdict;
  Station& station = *admitted;
  const bool cameBack = !station.online || station.from.address != from.address;
  verdict.cameOnline = cameBack;
  verdict.wantsSnapshot =
      cameBack && !station.complete && datagram.kind != wire::kKindSnapshot;
  station.from = from;
  station.lastSeen = now.steady;
  station.lastSeenWall = now.wall;
  if (cameBack) {
    station.online = true;
    if (options_.topicTree) out->push_back(StatusMessage(station));
    for (StationObserver* observer : observers_)
      observer->StationOnline(mac, now);
  }
  Apply(datagram, station, now, out);
  for (StationObserver* observer : observers_) observer->DatagramDone(mac, now);
  return verdict;
}

void StationTable::Apply(const wire::Datagram& datagram, Station& station,
                         const Moment& now, std::vector<Message>* out) {
  const std::string& mac = station.mac;

  if (datagram.kind == wire::kKindEvent) {
    for (const std::string& record : datagram.records) {
      if (options_.topicTree) out->push_back(EventMessage(mac, record, now));
      for (StationObserver* observer : observers_)
        observer->Event(mac, record, now);
    }
    return;
  }

  const bool snapshot = datagram.kind == wire::kKindSnapshot;
  if (snapshot) {
    for (const std::string& record : datagram.records) {
      std::string_view name;
      std::string_view value;
      wire::SplitRecord(record, &name, &value);
      if (!station.inSnapshot) {
        BeginSnapshot(station, now);
      } else if (station.snapshotNames.count(std::string(name)) != 0) {
        EndSnapshot(station, now, out);
        BeginSnapshot(station, now);
      }
      station.snapshotNames.emplace(name);
      SetPoint(station, name, value, now, out);
    }
    station.lastSnapshotDatagram = now.steady;
    station.lastSnapshotDatagramWall = now.wall;
    return;
  }
  for (const std::string& record : datagram.records) {
    std::string_view name;
    std::string_view value;
    wire::SplitRecord(record, &name, &value);
    if (station.inSnapshot) station.itemsSinceSnapshotBegan.emplace(name);
    SetPoint(station, name, value, now, out);
  }
}

void StationTable::Tick(const Moment& now, std::vector<Message>* out) {
  for (auto& [mac, station] : stations_) {
    if (station.inSnapshot &&
        now.steady - station.lastSnapshotDatagram >= options_.settle) {
      EndSnapshot(station, now, out);
    }
    if (station.online && now.steady - station.lastSeen >= options_.silence) {
      station.online = false;
      if (options_.topicTree) out->push_back(StatusMessage(station));
      for (StationObserver* observer : observers_)
        observer->StationSilent(mac, now);
    }
  }
}

void StationTable::RetainedState(std::vector<Message>* out) const {
  if (!options_.topicTree) return;
  for (const auto& [mac, station] : stations_) {
    out->push_back(StatusMessage(station));
    for (const auto& [name, point] : station.points)
      out->push_back(PointMessage(station, name, point));
  }
}

bool StationTable::State(const std::string& mac, StationState* out) const {
  const auto found = stations_.find(mac);
  if (found == stations_.end()) return false;
  const Station& station = found->second;
  *out = {station.online,
          station.from,
          station.lastSeenWall,
          station.everSnapshot,
          station.lastSnapshotEnded,
          station.points.size() + station.held.size(),
          station.complete};
  return true;
}

void StationTable::Learn(const std::vector<Message>& held,
                         std::vector<Message>* out) {
  std::set<Station*> changed;
  for (const Message& message : held) {
    std::string mac;
    std::string name;
    if (!PointOfTopic(message.topic, &mac, &name)) continue;
    const auto found = stations_.find(mac);
    if (found == stations_.end()) {
      held_[mac].insert(std::move(name));
    } else if (found->second.points.count(name) == 0 &&
               found->second.held.insert(std::move(name)).second) {
      changed.insert(&found->second);
    }
  }
  for (const Station* station : changed) {
    if (options_.topicTree) out->push_back(StatusMessage(*station));
    for (StationObserver* observer : observers_)
      observer->PointsHeld(station->mac);
  }
}

void StationTable::GoOffline(std::vector<Message>* out) {
  for (auto& [mac, station] : stations_) {
    if (!station.online) continue;
    station.online = false;
    if (options_.topicTree) out->push_back(StatusMessage(station));
  }
}

void StationTable::BeginSnapshot(Station& station, const Moment& now) {
  station.inSnapshot = true;
  station.snapshotNames.clear();
  station.itemsSinceSnapshotBegan.clear();
  station.lossBaseline = losses_.beforeIdle;
  station.lossBeforeStart = LossesRecent(now);
}

bool StationTable::LossesRecent(const Moment& now) const {
  return !losses_.counted ||
         (lossGrew_ && now.steady - *lossGrew_ < options_.settle);
}

void StationTable::EndSnapshot(Station& station, const Moment& now,
                               std::vector<Message>* out) {
  const bool complete = losses_.counted && !station.lossBeforeStart &&
                        losses_.total <= station.lossBaseline;
  std::vector<std::string> cleared;
  if (complete) {
    auto vanished = [&](const std::string& name) {
      if (station.snapshotNames.count(name) != 0 ||
          station.itemsSinceSnapshotBegan.count(name) != 0) {
        return;
      }
      if (station.points.erase(name) != 0) cleared.push_back(name);
      if (options_.topicTree)
        out->push_back({PointTopic(station.mac, name), std::string(), true});
    };
    for (const std::string& name : station.lastSnapshot) vanished(name);
    for (const std::string& name : station.held) vanished(name);
    station.held.clear();
    station.lastSnapshot.swap(station.snapshotNames);
    station.everSnapshot = true;
    station.lastSnapshotEnded = station.lastSnapshotDatagramWall;
    clearedPoints_ += cleared.size();
  } else {
    // What it lacks may have been lost on the way: the next complete
    // snapshot decides, against everything the station may still have.
    station.lastSnapshot.insert(station.snapshotNames.begin(),
                                station.snapshotNames.end());
    ++incompleteSnapshots_;
  }
  station.complete = complete;
  station.snapshotNames.clear();
  station.itemsSinceSnapshotBegan.clear();
  station.inSnapshot = false;
  if (options_.topicTree) out->push_back(StatusMessage(station));
  for (StationObserver* observer : observers_)
    observer->SnapshotEnded(station.mac, cleared, complete, now);
}

void StationTable::SetPoint(Station& station, std::string_view name,
                            std::string_view value, const Moment& now,
                            std::vector<Message>* out) {
  station.held.erase(std::string(name));
  Point& point = station.points[std::string(name)];
  point.value = value;
  point.received = now.wall;
  if (options_.topicTree)
    out->push_back(PointMessage(station, std::string(name), point));
  for (StationObserver* observer : observers_)
    observer->PointSet(station.mac, name, value, now);
}

Message StationTable::PointMessage(const Station& station,
                                   const std::string& name,
                                   const Point& point) const {
  Message message{PointTopic(station.mac, name), PayloadOfValue(point.value),
                  true};
  if (options_.json) {
    message.payload =
        wire::JsonObject()
            .HostText("value", point.value, wire::TextEncoding::kGbk)
            .Text("received", WallText(point.received))
            .Close();
  }
  return message;
}

Message StationTable::EventMessage(const std::string& mac,
                                   const std::string& record,
                                   const Moment& now) const {
  Message event{EventsTopic(mac), record, false};
  if (options_.json) {
    std::string_view a;
    std::string_view b;
    wire::SplitRecord(record, &a, &b);
    event.payload = wire::JsonObject()
                        .HostText("a", a, wire::TextEncoding::kGbk)
                        .HostText("b", b, wire::TextEncoding::kGbk)
                        .Text("received", WallText(now.wall))
                        .Close();
  }
  return event;
}

Message StationTable::StatusMessage(const Station& station) const {
  wire::JsonObject status;
  status.Text("state", station.online ? "online" : "offline")
      .Text("address", wire::EndpointText(station.from))
      .Text("last_seen", WallText(station.lastSeenWall));
  if (station.everSnapshot) {
    status.Text("last_snapshot", WallText(station.lastSnapshotEnded));
  } else {
    status.Null("last_snapshot");
  }
  status.Bool("complete", station.complete)
      .Number("points", station.points.size() + station.held.size());
  return {StationStatusTopic(station.mac), status.Close(), true};
}

std::optional<wire::Endpoint> StationTable::AddressOf(
    const std::string& mac) const {
  const auto found = stations_.find(mac);
  if (found == stations_.end() || !found->second.online) return std::nullopt;
  return found->second.from;
}

std::size_t StationTable::incomplete_count() const {
  std::size_t count = 0;
  for (const auto& [mac, station] : stations_)
    count += station.complete ? 0 : 1;
  return count;
}

std::size_t StationTable::online_count() const {
  std::size_t count = 0;
  for (const auto& [mac, station] : stations_) count += station.online ? 1 : 0;
  return count;
}

bool StationTable::IsComplete(const std::string& mac) const {
  const auto found = stations_.find(mac);
  return found != stations_.end() && found->second.complete;
}

}  // namespace pelmora::gateway

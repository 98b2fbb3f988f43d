#include "station_table.h"

#include <cstdio>
#include <ctime>

#include "endpoint.h"
#include "tool_options.h"

namespace pelmora::gateway {

namespace {

std::uint32_t MaskOf(int prefixBits) {
  return prefixBits == 0 ? 0 : ~std::uint32_t{0} << (32 - prefixBits);
}

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

void StationTable::NoteLosses(const Losses& losses, const Moment& now) {
  const bool grew = losses.total > losses_.total || !losses.counted;
  losses_ = losses;
  if (!grew) return;
  lossGrew_ = now.steady;
  for (auto& [mac, station] : stations_) {
    if (!station.complete) continue;
    station.complete = false;
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
                                          const Moment& now) {
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
    for (StationObserver* observer : observers_)
      observer->StationOnline(mac, now);
  }
  Apply(datagram, station, now);
  for (StationObserver* observer : observers_) observer->DatagramDone(mac, now);
  return verdict;
}

void StationTable::Apply(const wire::Datagram& datagram, Station& station,
                         const Moment& now) {
  const std::string& mac = station.mac;

  if (datagram.kind == wire::kKindEvent) {
    for (const std::string& record : datagram.records) {
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
        EndSnapshot(station, now);
        BeginSnapshot(station, now);
      }
      station.snapshotNames.emplace(name);
      SetPoint(station, name, value, now);
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
    SetPoint(station, name, value, now);
  }
}

void StationTable::Tick(const Moment& now) {
  for (auto& [mac, station] : stations_) {
    if (station.inSnapshot &&
        now.steady - station.lastSnapshotDatagram >= options_.settle) {
      EndSnapshot(station, now);
    }
    if (station.online && now.steady - station.lastSeen >= options_.silence) {
      station.online = false;
      for (StationObserver* observer : observers_)
        observer->StationSilent(mac, now);
    }
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

std::vector<std::string> StationTable::Macs() const {
  std::vector<std::string> macs;
  macs.reserve(stations_.size());
  for (const auto& [mac, station] : stations_) macs.push_back(mac);
  return macs;
}

void StationTable::Learn(const std::vector<HeldPoint>& held) {
  std::set<Station*> changed;
  for (const HeldPoint& point : held) {
    const auto found = stations_.find(point.mac);
    if (found == stations_.end()) {
      held_[point.mac].insert(point.name);
    } else if (found->second.points.count(point.name) == 0 &&
               found->second.held.insert(point.name).second) {
      changed.insert(&found->second);
    }
  }
  for (const Station* station : changed) {
    for (StationObserver* observer : observers_)
      observer->PointsHeld(station->mac);
  }
}

std::vector<std::string> StationTable::GoOffline() {
  std::vector<std::string> taken;
  for (auto& [mac, station] : stations_) {
    if (!station.online) continue;
    station.online = false;
    taken.push_back(mac);
  }
  return taken;
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

void StationTable::EndSnapshot(Station& station, const Moment& now) {
  const bool complete = losses_.counted && !station.lossBeforeStart &&
                        losses_.total <= station.lossBaseline;
  std::vector<std::string> cleared;
  std::vector<std::string> heldCleared;
  if (complete) {
    for (const std::string& name : station.lastSnapshot) {
      if (station.snapshotNames.count(name) == 0 &&
          station.itemsSinceSnapshotBegan.count(name) == 0 &&
          station.points.erase(name) != 0) {
        cleared.push_back(name);
      }
    }
    // A datagram that brought a held point took it off the list.
    heldCleared.assign(station.held.begin(), station.held.end());
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
  for (StationObserver* observer : observers_) {
    if (!heldCleared.empty())
      observer->HeldPointsCleared(station.mac, heldCleared, now);
    observer->SnapshotEnded(station.mac, cleared, complete, now);
  }
}

void StationTable::SetPoint(Station& station, std::string_view name,
                            std::string_view value, const Moment& now) {
  station.held.erase(std::string(name));
  Point& point = station.points[std::string(name)];
  point.value = value;
  point.received = now.wall;
  for (StationObserver* observer : observers_)
    observer->PointSet(station.mac, name, value, now);
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

#include "station_table.h"

#include <cstdio>
#include <ctime>

#include "json_text.h"

namespace pelmora::gateway {

namespace {

// `"key":"text"` with the text decoded from GBK; when some byte is no GBK
// character, `"<key>_raw":"<hex>"` follows with the bytes as sent.
void AppendGbkField(std::string* out, const char* key, std::string_view gbk) {
  *out += '"';
  *out += key;
  *out += "\":";
  if (wire::AppendJsonString(out, gbk, wire::TextEncoding::kGbk)) return;
  *out += ",\"";
  *out += key;
  *out += "_raw\":\"";
  *out += wire::HexOf(reinterpret_cast<const std::uint8_t*>(gbk.data()),
                      gbk.size());
  *out += '"';
}

}  // namespace

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

void StationTable::Apply(const wire::Datagram& datagram,
                         const wire::Endpoint& from, const Moment& now,
                         std::vector<Message>* out) {
  const std::string mac = wire::MacText(datagram.mac);
  auto [found, added] = stations_.try_emplace(mac);
  Station& station = found->second;
  if (added) station.mac = mac;
  const bool cameBack = !station.online || station.from.address != from.address;
  station.from = from;
  station.lastSeen = now.steady;
  station.lastSeenWall = now.wall;
  if (cameBack) {
    station.online = true;
    out->push_back(StatusMessage(station));
  }

  if (datagram.kind == wire::kKindEvent) {
    for (const std::string& record : datagram.records) {
      Message event{EventsTopic(mac), record, false};
      if (options_.json) {
        std::string_view a;
        std::string_view b;
        wire::SplitRecord(record, &a, &b);
        event.payload = "{";
        AppendGbkField(&event.payload, "a", a);
        event.payload += ',';
        AppendGbkField(&event.payload, "b", b);
        event.payload += ",\"received\":\"" + WallText(now.wall) + "\"}";
      }
      out->push_back(std::move(event));
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
        station.inSnapshot = true;
        station.snapshotNames.clear();
        station.itemsSinceSnapshotBegan.clear();
      } else if (station.snapshotNames.count(std::string(name)) != 0) {
        EndSnapshot(station, out);
        station.inSnapshot = true;
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
      EndSnapshot(station, out);
    }
    if (station.online && now.steady - station.lastSeen >= options_.silence) {
      station.online = false;
      out->push_back(StatusMessage(station));
    }
  }
}

void StationTable::RetainedState(std::vector<Message>* out) const {
  for (const auto& [mac, station] : stations_) {
    out->push_back(StatusMessage(station));
    for (const auto& [name, point] : station.points)
      out->push_back(PointMessage(station, name, point));
  }
}

void StationTable::EndSnapshot(Station& station, std::vector<Message>* out) {
  for (const std::string& name : station.lastSnapshot) {
    if (station.snapshotNames.count(name) != 0 ||
        station.itemsSinceSnapshotBegan.count(name) != 0) {
      continue;
    }
    station.points.erase(name);
    out->push_back({PointTopic(station.mac, name), std::string(), true});
  }
  station.lastSnapshot.swap(station.snapshotNames);
  station.snapshotNames.clear();
  station.itemsSinceSnapshotBegan.clear();
  station.inSnapshot = false;
  station.everSnapshot = true;
  station.lastSnapshotEnded = station.lastSnapshotDatagramWall;
  out->push_back(StatusMessage(station));
}

void StationTable::SetPoint(Station& station, std::string_view name,
                            std::string_view value, const Moment& now,
                            std::vector<Message>* out) {
  Point& point = station.points[std::string(name)];
  point.value = value;
  point.received = now.wall;
  out->push_back(PointMessage(station, std::string(name), point));
}

Message StationTable::PointMessage(const Station& station,
                                   const std::string& name,
                                   const Point& point) const {
  Message message{PointTopic(station.mac, name), point.value, true};
  if (options_.json) {
    message.payload = "{";
    AppendGbkField(&message.payload, "value", point.value);
    message.payload += ",\"received\":\"" + WallText(point.received) + "\"}";
  }
  return message;
}

Message StationTable::StatusMessage(const Station& station) const {
  std::string status =
      station.online ? "{\"state\":\"online\"" : "{\"state\":\"offline\"";
  status += ",\"address\":\"" + wire::EndpointText(station.from) + "\"";
  status += ",\"last_seen\":\"" + WallText(station.lastSeenWall) + "\"";
  status += ",\"last_snapshot\":";
  status += station.everSnapshot
                ? "\"" + WallText(station.lastSnapshotEnded) + "\""
                : std::string("null");
  status += ",\"points\":" + std::to_string(station.points.size()) + "}";
  return {StationStatusTopic(station.mac), status, true};
}

}  // namespace pelmora::gateway

#include "stations.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "code_page.h"
#include "utf8.h"

namespace pelmora::recv {

namespace {

constexpr std::size_t kColumns = 80;
constexpr char kEllipsis[] = "...";

// Columns a character takes on a terminal: East Asian wide characters,
// which are most of what GBK holds, take two.
std::size_t ColumnsOf(char32_t code) {
  const bool wide = (code >= 0x1100 && code <= 0x115F) ||
                    (code >= 0x2E80 && code <= 0xA4CF) ||
                    (code >= 0xAC00 && code <= 0xD7A3) ||
                    (code >= 0xF900 && code <= 0xFAFF) ||
                    (code >= 0xFE30 && code <= 0xFE4F) ||
                    (code >= 0xFF00 && code <= 0xFF60) ||
                    (code >= 0xFFE0 && code <= 0xFFE6);
  return wide ? 2 : 1;
}

// `utf8` (well-formed, as ShowText writes it) cut to `columns`, ending in
// an ellipsis where it was cut.
std::string FitColumns(const std::string& utf8, std::size_t columns) {
  std::size_t used = 0;
  std::size_t keep = 0;
  for (std::size_t at = 0; at < utf8.size();) {
    char32_t code = 0xFFFD;
    std::size_t length =
        wire::ReadUtf8(std::string_view(utf8).substr(at), &code);
    // A byte that starts no character (ShowText writes none) takes one
    // column.
    if (length == 0) length = 1;
    used += ColumnsOf(code);
    if (used > columns) return utf8.substr(0, keep) + kEllipsis;
    at += length;
    if (used + sizeof kEllipsis - 1 <= columns) keep = at;
  }
  return utf8;
}

// HH:MM:SS in local time.
std::string ClockText(WallClock::time_point at) {
  const std::time_t seconds = WallClock::to_time_t(at);
  char text[16] = "--:--:--";
  if (const std::tm* local = std::localtime(&seconds)) {
    std::strftime(text, sizeof text, "%H:%M:%S", local);
  }
  return text;
}

std::string Line(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Line(const char* format, ...) {
  char text[kColumns * 2];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return std::string(text) + '\n';
}

}  // namespace

std::string ShowText(std::string_view text, wire::TextEncoding encoding) {
  if (encoding == wire::TextEncoding::kBytes) return wire::Escape(text);
  std::string shown;
  while (!text.empty()) {
    std::size_t used = 0;
    if (static_cast<unsigned char>(text[0]) >= 0x80)
      used = wire::DecodeGbkChar(text, &shown);
    if (used == 0) {
      used = 1;
      shown += wire::Escape(text.substr(0, 1));
    }
    text.remove_prefix(used);
  }
  return shown;
}

void StationSet::Apply(const wire::Datagram& datagram,
                       const wire::Endpoint& from, WallClock::time_point at) {
  Station& station = stations_[datagram.mac];
  station.mirror.Apply(datagram);
  station.sender = from;
  stationBySender_[SenderKey(from)] = datagram.mac;
  if (datagram.kind == wire::kKindItem && !datagram.records.empty()) {
    station.lastChange = datagram.records.back();
    station.lastChangeAt = at;
  } else if (datagram.kind == wire::kKindSnapshot) {
    station.lastSnapshotAt = at;
  }
}

void StationSet::CountMalformed(const wire::Endpoint& from) {
  ++malformedBySender_[SenderKey(from)];
  ++malformed_;
}

std::uint64_t StationSet::MalformedOf(const Mac& mac) const {
  std::uint64_t count = 0;
  for (const auto& [sender, malformed] : malformedBySender_) {
    const auto station = stationBySender_.find(sender);
    if (station != stationBySender_.end() && station->second == mac)
      count += malformed;
  }
  return count;
}

std::string RenderLiveTable(const StationSet& set, WallClock::time_point now,
                            wire::TextEncoding encoding) {
  std::uint64_t datagrams = 0;
  std::uint64_t attributed = 0;
  std::string rows;
  for (const auto& [mac, station] : set.stations()) {
    const wire::PointMirror& mirror = station.mirror;
    for (const std::uint8_t kind :
         {wire::kKindItem, wire::kKindEvent, wire::kKindSnapshot})
      datagrams += mirror.tally(kind).datagrams;
    const std::uint64_t malformed = set.MalformedOf(mac);
    attributed += malformed;
    std::string snapshotAge = "-";
    if (station.lastSnapshotAt) {
      const auto age = std::chrono::duration_cast<std::chrono::seconds>(
          now - *station.lastSnapshotAt);
      snapshotAge = std::to_string(age.count() < 0 ? 0 : age.count()) + "s ago";
    }
    rows += Line(
        "%-17s %7" PRIu64 "  %-11s %8" PRIu64 " %8" PRIu64 " %10s %10" PRIu64,
        wire::MacText(mac).c_str(),
        static_cast<std::uint64_t>(mirror.points().size()),
        station.lastChangeAt ? ClockText(*station.lastChangeAt).c_str() : "-",
        mirror.tally(wire::kKindItem).records,
        mirror.tally(wire::kKindEvent).records, snapshotAge.c_str(), malformed);
    std::string from = "  from " + wire::EndpointText(station.sender);
    if (station.lastChangeAt) {
      from += "  last ";
      from += FitColumns(ShowText(station.lastChange, encoding),
                         kColumns - from.size());
    }
    rows += from + '\n';
  }

  std::string table = Line(
      "pelmora-recv  %s  %" PRIu64 " station%s  %" PRIu64 " datagrams  %" PRIu64
      " malformed",
      ClockText(now).c_str(), static_cast<std::uint64_t>(set.stations().size()),
      set.stations().size() == 1 ? "" : "s", datagrams, set.malformed());
  table += Line("%-17s %7s  %-11s %8s %8s %10s %10s", "STATION", "POINTS",
                "LAST CHANGE", "CHANGES", "EVENTS", "SNAPSHOT", "MALFORMED");
  table += rows;
  if (set.malformed() > attributed) {
    table += Line("%" PRIu64 " malformed from addresses no station sent from",
                  set.malformed() - attributed);
  }
  return table;
}

}  // namespace pelmora::recv

#include "recv_output.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "hex_text.h"
#include "json_text.h"
#include "point_mirror.h"

namespace pelmora::recv {

namespace {

using wire::JsonObject;
using wire::PointMirror;

constexpr std::size_t kMaxHexBytes = 1024;
constexpr std::uint8_t kKinds[] = {wire::kKindItem, wire::kKindEvent,
                                   wire::kKindSnapshot};

// What the summary says of one station, or of all of them.
struct Counts {
  PointMirror::Tally tallies[std::size(kKinds)];
  std::uint64_t malformed = 0;
  std::uint64_t points = 0;
  std::uint64_t events = 0;

  // All but the malformed count: some malformed datagrams are no station's,
  // so the total of those is taken whole from the station set.
  void Add(const Counts& other) {
    for (std::size_t i = 0; i < std::size(kKinds); ++i) {
      tallies[i].datagrams += other.tallies[i].datagrams;
      tallies[i].records += other.tallies[i].records;
    }
    points += other.points;
    events += other.events;
  }
};

Counts CountsOf(const Station& station, std::uint64_t malformed) {
  Counts counts;
  for (std::size_t i = 0; i < std::size(kKinds); ++i)
    counts.tallies[i] = station.mirror.tally(kKinds[i]);
  counts.malformed = malformed;
  counts.points = station.mirror.points().size();
  counts.events = station.mirror.tally(wire::kKindEvent).records;
  return counts;
}

void AddCounts(JsonObject* object, const Counts& counts) {
  JsonObject tally;
  for (std::size_t i = 0; i < std::size(kKinds); ++i) {
    tally.Number("datagrams", counts.tallies[i].datagrams)
        .Number("records", counts.tallies[i].records);
    object->Json(wire::KindName(kKinds[i]), tally.Close());
  }
  object->Number("malformed", counts.malformed)
      .Number("points", counts.points)
      .Number("events", counts.events);
}

void PrintCounts(const char* indent, const Counts& counts) {
  for (std::size_t i = 0; i < std::size(kKinds); ++i) {
    std::printf("%s%-9s datagrams=%" PRIu64 " records=%" PRIu64 "\n", indent,
                wire::KindName(kKinds[i]), counts.tallies[i].datagrams,
                counts.tallies[i].records);
  }
  std::printf("%s%-9s datagrams=%" PRIu64 "\n", indent, "malformed",
              counts.malformed);
  std::printf("%s%-9s points=%" PRIu64 " events=%" PRIu64 "\n", indent,
              "mirror", counts.points, counts.events);
}

}  // namespace

void PrintDatagram(const RecvOptions& options, const wire::Datagram& datagram,
                   std::size_t size) {
  if (options.quiet || options.live) return;
  const char* kind = wire::KindName(datagram.kind);
  const std::string mac = wire::MacText(datagram.mac);
  if (!options.json) {
    std::printf("%-8s  mac=%s records=%zu bytes=%zu\n", kind, mac.c_str(),
                datagram.records.size(), size);
    for (const std::string& record : datagram.records)
      std::printf("  %s\n", ShowText(record, options.encoding).c_str());
    return;
  }
  wire::JsonArray records;
  wire::JsonArray raw;
  bool anyRaw = false;
  for (const std::string& record : datagram.records) {
    if (records.HostText(record, options.encoding)) {
      raw.Null();
    } else {
      anyRaw = true;
      raw.Text(wire::HexOf(record));
    }
  }
  JsonObject line;
  line.Text("type", "datagram")
      .Text("kind", kind)
      .Text("mac", mac)
      .Number("bytes", size)
      .Json("records", records.Close());
  if (anyRaw) line.Json("raw", raw.Close());
  std::fputs((line.Close() + '\n').c_str(), stdout);
}

void PrintSigned(const RecvOptions& options,
                 const wire::SignedDatagram& datagram, std::size_t size) {
  if (options.quiet || options.live) return;
  const char* kind = datagram.kind == wire::kKindCommand ? "command" : "reply";
  const std::string mac = wire::MacText(datagram.mac);
  const std::string what = wire::DescribeSigned(datagram);
  const bool write = datagram.kind == wire::kKindCommand &&
                     datagram.command == wire::kCommandWrite;
  if (!options.json) {
    std::printf("%-8s  mac=%s %s bytes=%zu\n", kind, mac.c_str(), what.c_str(),
                size);
    if (write)
      std::printf("  %s|%s\n",
                  ShowText(datagram.name, options.encoding).c_str(),
                  ShowText(datagram.value, options.encoding).c_str());
    return;
  }
  JsonObject line;
  line.Text("type", kind)
      .Text("mac", mac)
      .Number("bytes", size)
      .Text("session",
            wire::HexOf(datagram.nonce.data(), datagram.nonce.size()))
      .Number("sequence", datagram.sequence);
  if (datagram.kind == wire::kKindCommand) {
    line.Number("notAfter", datagram.notAfter);
  } else {
    line.Text("answers",
              wire::HexOf(datagram.answers.data(), datagram.answers.size()))
        .Number("clock", datagram.clock)
        .Number("latest", datagram.latest);
  }
  line.Text("what", what);
  std::fputs((line.Close() + '\n').c_str(), stdout);
}

void PrintMalformed(const RecvOptions& options,
                    const std::vector<std::uint8_t>& bytes,
                    const std::string& error) {
  if (options.quiet || options.live) return;
  if (!options.json) {
    std::printf("malformed bytes=%zu: %s\n", bytes.size(), error.c_str());
    return;
  }
  JsonObject line;
  line.Text("type", "malformed")
      .Text("error", error)
      .Number("bytes", bytes.size())
      .Text("hex",
            wire::HexOf(bytes.data(), std::min(bytes.size(), kMaxHexBytes)));
  std::fputs((line.Close() + '\n').c_str(), stdout);
}

void PrintSummary(const RecvOptions& options, const StationSet& set) {
  Counts total;
  total.malformed = set.malformed();
  std::vector<std::pair<std::string, Counts>> each;
  for (const auto& [mac, station] : set.stations()) {
    each.emplace_back(wire::MacText(mac),
                      CountsOf(station, set.MalformedOf(mac)));
    total.Add(each.back().second);
  }
  if (options.json) {
    wire::JsonArray stations;
    for (const auto& [mac, counts] : each) {
      JsonObject station;
      station.Text("mac", mac);
      AddCounts(&station, counts);
      stations.Json(station.Close());
    }
    JsonObject line;
    line.Text("type", "summary");
    AddCounts(&line, total);
    line.Json("stations", stations.Close());
    std::fputs((line.Close() + '\n').c_str(), stdout);
    return;
  }
  std::printf("summary\n");
  PrintCounts("  ", total);
  if (each.size() < 2) return;
  for (const auto& [mac, counts] : each) {
    std::printf("  %-9s %s\n", "station", mac.c_str());
    PrintCounts("    ", counts);
  }
}

// The table from the top of the screen, each line cleared to its end and
// the rest of the screen below it cleared, in one write: drawing over the
// last frame instead of blanking it first keeps the screen from flickering.
void DrawLiveTable(const RecvOptions& options, const StationSet& set) {
  const std::string table =
      RenderLiveTable(set, WallClock::now(), options.encoding);
  std::string frame = "\x1b[H";
  for (const char c : table) {
    if (c == '\n') frame += "\x1b[K";
    frame += c;
  }
  frame += "\x1b[J";
  std::fputs(frame.c_str(), stdout);
  std::fflush(stdout);
}

bool WriteMirror(const std::string& path, const StationSet& set) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "pelmora-recv: cannot write %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return false;
  }
  const bool withMac = set.stations().size() > 1;
  for (const auto& [mac, station] : set.stations()) {
    const std::string prefix = withMac ? wire::MacText(mac) + "|" : "";
    for (const auto& [name, value] : station.mirror.points()) {
      std::fputs(prefix.c_str(), file);
      std::fwrite(name.data(), 1, name.size(), file);
      std::fputc('|', file);
      std::fwrite(value.data(), 1, value.size(), file);
      std::fputc('\n', file);
    }
  }
  const bool failed = std::ferror(file) != 0;
  if (std::fclose(file) != 0 || failed) {
    std::fprintf(stderr, "pelmora-recv: error writing %s\n", path.c_str());
    return false;
  }
  return true;
}

}  // namespace pelmora::recv

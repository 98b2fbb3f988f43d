// pelmora-recv: listens where the plug-in sends and shows each datagram, so
// operators can check a link and server implementers can see the traffic their
// server must handle.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "code_page.h"
#include "json_text.h"
#include "pcap_writer.h"
#include "stations.h"
#include "point_mirror.h"
#include "udp_receiver.h"

namespace {

using pelmora::wire::AppendJsonString;
using pelmora::wire::Datagram;
using pelmora::wire::HexOf;
using pelmora::wire::PointMirror;
using pelmora::wire::Station;
using pelmora::wire::StationSet;
using pelmora::wire::TextEncoding;
using pelmora::wire::WallClock;
using Clock = std::chrono::steady_clock;

constexpr char kUsage[] =
    "usage: pelmora-recv [options]\n"
    "\n"
    "Receives the plug-in's UDP datagrams, prints each one, keeps a mirror of\n"
    "each station's points, and prints a summary on exit.\n"
    "\n"
    "  --bind ADDR      IPv4 address to listen on (default 127.0.0.1;\n"
    "                   0.0.0.0 for every interface)\n"
    "  --port N         UDP port (default 7000; 0 picks a free one)\n"
    "  --json           one JSON object per line instead of text\n"
    "  --quiet          print only the summary\n"
    "  --live           instead of a line per datagram, a table redrawn\n"
    "                   in place a few times a second, a row per station:\n"
    "                   its MAC, points held, wall-clock time of its\n"
    "                   latest item datagram, item and event records\n"
    "                   counted, age of its latest snapshot, malformed\n"
    "                   datagrams; below that, the address it last sent\n"
    "                   from and its latest item record\n"
    "  --encoding ENC   how names and values are shown: bytes (the\n"
    "                   default), each byte by value, or gbk, read as\n"
    "                   code page 936\n"
    "  --count N        exit after N well-formed datagrams\n"
    "  --idle-exit MS   exit once MS milliseconds pass without a datagram;\n"
    "                   the clock starts at the first datagram, so the\n"
    "                   receiver can be started before the plug-in\n"
    "  --duration MS    exit MS milliseconds after start\n"
    "  --mirror FILE    on exit write the mirrored points to FILE, one\n"
    "                   'name|value' line each, sorted by name, bytes as\n"
    "                   sent; when more than one station was seen,\n"
    "                   'MAC|name|value' lines, sorted by station first\n"
    "  --pcap FILE      write every datagram received, malformed ones too, to\n"
    "                   FILE as a pcap capture, behind synthetic IPv4 and UDP\n"
    "                   headers from the sender to the listening address and\n"
    "                   port: open it in Wireshark with the dissector\n"
    "                   pelmora.lua\n"
    "  --help           this text\n"
    "\n"
    "SIGINT and SIGTERM end it the same way as the options above: the summary\n"
    "is printed and the mirror written. The listening address goes to stderr.\n"
    "\n"
    "Text output: a line per datagram (kind, station MAC, record count,\n"
    "size), then an indented line per record. Bytes outside 0x20-0x7E and\n"
    "the backslash are shown as \\xNN, since the host's code page is\n"
    "unknown; with --encoding gbk, GBK characters are shown as UTF-8, and\n"
    "control bytes, the backslash and bytes that start no GBK character\n"
    "as \\xNN.\n"
    "\n"
    "The summary gives the totals and, when more than one station was seen,\n"
    "the same lines for each station. A malformed datagram's header cannot\n"
    "be trusted for a MAC: it counts against the station that last sent a\n"
    "well-formed datagram from the same address and port.\n"
    "\n"
    "JSON output: objects with \"type\" \"datagram\" (kind, mac, bytes,\n"
    "records), \"malformed\" (error, bytes, hex of at most the first 1024\n"
    "bytes) and, last, \"summary\" (the totals, and a \"stations\" array of\n"
    "the same for each station). With bytes, each byte 0x80-0xFF of a text\n"
    "is written as \\u00XX: read each code point of a decoded string as one\n"
    "byte to get the text as sent. With gbk, texts are UTF-8 and each byte\n"
    "that starts no GBK character is written as U+FFFD; the datagram then\n"
    "has a \"raw\" array beside \"records\": for each record that held such a\n"
    "byte, its hex as sent, and null for the others.\n"
    "\n"
    "Exit status: 0 when it ends normally, 1 when it cannot listen or write\n"
    "the mirror or the capture, 2 for a bad command line.\n";

// Bounds how long a signal arriving just before poll() can go unnoticed.
constexpr int kMaxWaitMs = 200;
constexpr std::size_t kMaxHexBytes = 1024;
// The live table is redrawn at most this often while datagrams arrive, and
// at least once a second so that its clock and ages keep moving.
constexpr std::int64_t kLiveFrameMs = 250;
constexpr std::int64_t kLiveRefreshMs = 1000;
constexpr std::uint8_t kKinds[] = {pelmora::wire::kKindItem,
                                   pelmora::wire::kKindEvent,
                                   pelmora::wire::kKindSnapshot};

volatile std::sig_atomic_t stopRequested = 0;

void OnStopSignal(int) { stopRequested = 1; }

struct Options {
  std::string bindAddress = "127.0.0.1";
  std::uint16_t port = 7000;
  bool json = false;
  bool quiet = false;
  bool live = false;
  TextEncoding encoding = TextEncoding::kBytes;
  std::uint64_t count = 0;
  std::int64_t idleExitMs = 0;
  std::int64_t durationMs = 0;
  std::string mirrorPath;
  std::string pcapPath;
};

bool ParseNumber(const char* text, std::uint64_t low, std::uint64_t high,
                 std::uint64_t* out) {
  if (*text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

// False when the tool should not run, with the status to exit with: 0 after
// --help, 2 for a bad command line.
bool ParseOptions(int argc, char** argv, Options* options, int* exitStatus) {
  *exitStatus = 2;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      *exitStatus = 0;
      return false;
    }
    if (option == "--json") {
      options->json = true;
      continue;
    }
    if (option == "--quiet") {
      options->quiet = true;
      continue;
    }
    if (option == "--live") {
      options->live = true;
      continue;
    }
    const bool takesValue = option == "--bind" || option == "--port" ||
                            option == "--count" || option == "--idle-exit" ||
                            option == "--duration" || option == "--mirror" ||
                            option == "--pcap" || option == "--encoding";
    if (!takesValue) {
      std::fprintf(stderr, "pelmora-recv: unknown option %s\n%s", argv[i],
                   kUsage);
      return false;
    }
    if (i + 1 == argc) {
      std::fprintf(stderr, "pelmora-recv: %s needs a value\n", argv[i]);
      return false;
    }
    const char* value = argv[++i];
    std::uint64_t number = 0;
    bool valid = true;
    if (option == "--bind") {
      options->bindAddress = value;
    } else if (option == "--mirror") {
      options->mirrorPath = value;
    } else if (option == "--pcap") {
      options->pcapPath = value;
    } else if (option == "--encoding") {
      valid =
          std::strcmp(value, "bytes") == 0 || std::strcmp(value, "gbk") == 0;
      options->encoding = std::strcmp(value, "gbk") == 0 ? TextEncoding::kGbk
                                                         : TextEncoding::kBytes;
    } else if (option == "--port") {
      valid = ParseNumber(value, 0, 65535, &number);
      options->port = static_cast<std::uint16_t>(number);
    } else if (option == "--count") {
      valid = ParseNumber(value, 1, UINT64_MAX, &number);
      options->count = number;
    } else if (option == "--idle-exit") {
      valid = ParseNumber(value, 1, INT32_MAX, &number);
      options->idleExitMs = static_cast<std::int64_t>(number);
    } else {
      valid = ParseNumber(value, 1, INT32_MAX, &number);
      options->durationMs = static_cast<std::int64_t>(number);
    }
    if (!valid) {
      std::fprintf(stderr, "pelmora-recv: bad value for %s: %s\n", argv[i - 1],
                   value);
      return false;
    }
  }
  if (options->live && options->quiet) {
    std::fprintf(stderr,
                 "pelmora-recv: --live and --quiet exclude each other\n");
    return false;
  }
  return true;
}

std::string HexDump(const std::vector<std::uint8_t>& bytes) {
  return HexOf(bytes.data(), std::min(bytes.size(), kMaxHexBytes));
}

void PrintDatagram(const Options& options, const Datagram& datagram,
                   std::size_t size) {
  if (options.quiet || options.live) return;
  const char* kind = pelmora::wire::KindName(datagram.kind);
  const std::string mac = pelmora::wire::MacText(datagram.mac);
  if (!options.json) {
    std::printf("%-8s  mac=%s records=%zu bytes=%zu\n", kind, mac.c_str(),
                datagram.records.size(), size);
    for (const std::string& record : datagram.records) {
      std::printf("  %s\n",
                  pelmora::wire::ShowText(record, options.encoding).c_str());
    }
    return;
  }
  std::string line = "{\"type\":\"datagram\",\"kind\":\"";
  line += kind;
  line += "\",\"mac\":\"" + mac + "\",\"bytes\":" + std::to_string(size) +
          ",\"records\":[";
  std::string raw;
  bool anyRaw = false;
  for (std::size_t i = 0; i < datagram.records.size(); ++i) {
    const std::string& record = datagram.records[i];
    if (i > 0) {
      line += ',';
      raw += ',';
    }
    if (AppendJsonString(&line, record, options.encoding)) {
      raw += "null";
    } else {
      anyRaw = true;
      raw += '"' +
             HexOf(reinterpret_cast<const std::uint8_t*>(record.data()),
                   record.size()) +
             '"';
    }
  }
  line += ']';
  if (anyRaw) line += ",\"raw\":[" + raw + ']';
  line += "}\n";
  std::fputs(line.c_str(), stdout);
}

void PrintMalformed(const Options& options,
                    const std::vector<std::uint8_t>& bytes,
                    const std::string& error) {
  if (options.quiet || options.live) return;
  if (!options.json) {
    std::printf("malformed bytes=%zu: %s\n", bytes.size(), error.c_str());
    return;
  }
  std::string line = "{\"type\":\"malformed\",\"error\":";
  AppendJsonString(&line, error, TextEncoding::kBytes);
  line += ",\"bytes\":" + std::to_string(bytes.size()) + ",\"hex\":\"" +
          HexDump(bytes) + "\"}\n";
  std::fputs(line.c_str(), stdout);
}

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
  counts.events = station.mirror.tally(pelmora::wire::kKindEvent).records;
  return counts;
}

std::string JsonCounts(const Counts& counts) {
  std::string json;
  for (std::size_t i = 0; i < std::size(kKinds); ++i) {
    json += ",\"" + std::string(pelmora::wire::KindName(kKinds[i])) +
            "\":{\"datagrams\":" + std::to_string(counts.tallies[i].datagrams) +
            ",\"records\":" + std::to_string(counts.tallies[i].records) + "}";
  }
  return json + ",\"malformed\":" + std::to_string(counts.malformed) +
         ",\"points\":" + std::to_string(counts.points) +
         ",\"events\":" + std::to_string(counts.events);
}

void PrintCounts(const char* indent, const Counts& counts) {
  for (std::size_t i = 0; i < std::size(kKinds); ++i) {
    std::printf("%s%-9s datagrams=%" PRIu64 " records=%" PRIu64 "\n", indent,
                pelmora::wire::KindName(kKinds[i]), counts.tallies[i].datagrams,
                counts.tallies[i].records);
  }
  std::printf("%s%-9s datagrams=%" PRIu64 "\n", indent, "malformed",
              counts.malformed);
  std::printf("%s%-9s points=%" PRIu64 " events=%" PRIu64 "\n", indent,
              "mirror", counts.points, counts.events);
}

// The totals come first, in the lines a one-station run has always had, so
// that readers of those lines need not know about stations.
void PrintSummary(const Options& options, const StationSet& set) {
  Counts total;
  total.malformed = set.malformed();
  std::vector<std::pair<std::string, Counts>> each;
  for (const auto& [mac, station] : set.stations()) {
    each.emplace_back(pelmora::wire::MacText(mac),
                      CountsOf(station, set.MalformedOf(mac)));
    total.Add(each.back().second);
  }
  if (options.json) {
    std::string line =
        "{\"type\":\"summary\"" + JsonCounts(total) + ",\"stations\":[";
    for (std::size_t i = 0; i < each.size(); ++i) {
      if (i > 0) line += ',';
      line += "{\"mac\":\"" + each[i].first + "\"" +
              JsonCounts(each[i].second) + "}";
    }
    line += "]}\n";
    std::fputs(line.c_str(), stdout);
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

// One station's file is as it always was; with more, each line leads with
// the MAC so that the stations' points stay apart.
bool WriteMirror(const std::string& path, const StationSet& set) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "pelmora-recv: cannot write %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return false;
  }
  const bool withMac = set.stations().size() > 1;
  for (const auto& [mac, station] : set.stations()) {
    const std::string prefix = withMac ? pelmora::wire::MacText(mac) + "|" : "";
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

// The table from the top of the screen, each line cleared to its end and
// the rest of the screen below it cleared, in one write: drawing over the
// last frame instead of blanking it first keeps the screen from flickering.
void DrawLiveTable(const Options& options, const StationSet& set) {
  const std::string table =
      pelmora::wire::RenderLiveTable(set, WallClock::now(), options.encoding);
  std::string frame = "\x1b[H";
  for (const char c : table) {
    if (c == '\n') frame += "\x1b[K";
    frame += c;
  }
  frame += "\x1b[J";
  std::fputs(frame.c_str(), stdout);
  std::fflush(stdout);
}

// The Windows console takes neither ANSI control sequences nor UTF-8 unless
// told to; other systems' terminals take both as they are.
#ifdef _WIN32
void PrepareConsole(const Options& options) {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (options.live && ::GetConsoleMode(out, &mode))
    ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  if (options.encoding == TextEncoding::kGbk) ::SetConsoleOutputCP(CP_UTF8);
}
#else
void PrepareConsole(const Options&) {}
#endif

std::int64_t MillisecondsSince(Clock::time_point start, Clock::time_point now) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(now - start)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int exitStatus = 0;
  if (!ParseOptions(argc, argv, &options, &exitStatus)) return exitStatus;
  PrepareConsole(options);

  // On POSIX a signal cuts the wait in poll() short whatever the handler's
  // flags; on Windows Ctrl+C is handled on a thread of its own and the loop
  // sees it within kMaxWaitMs.
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);

  pelmora::wire::UdpReceiver receiver;
  std::string error;
  if (!receiver.Open(options.bindAddress, options.port, &error)) {
    std::fprintf(stderr, "pelmora-recv: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr,
               "pelmora-recv: listening on %s:%u (receive buffer %d bytes)\n",
               options.bindAddress.c_str(), receiver.port(),
               receiver.receive_buffer_bytes());
  pelmora::wire::PcapWriter capture;
  if (!options.pcapPath.empty() && !capture.Open(options.pcapPath, &error)) {
    std::fprintf(stderr, "pelmora-recv: %s\n", error.c_str());
    return 1;
  }

  StationSet stations;
  std::uint64_t wellFormed = 0;
  bool anyArrived = false;
  const Clock::time_point start = Clock::now();
  Clock::time_point lastArrival = start;
  // Due at once, so that the empty table shows before anything arrives.
  Clock::time_point lastFrame =
      start - std::chrono::milliseconds(kLiveRefreshMs);
  bool changedSinceFrame = false;
  std::vector<std::uint8_t> bytes;
  pelmora::wire::Endpoint sender;

  while (stopRequested == 0) {
    if (options.count != 0 && wellFormed >= options.count) break;
    const Clock::time_point now = Clock::now();
    std::int64_t waitMs = kMaxWaitMs;
    if (options.durationMs != 0) {
      const std::int64_t left =
          options.durationMs - MillisecondsSince(start, now);
      if (left <= 0) break;
      waitMs = std::min(waitMs, left);
    }
    if (options.idleExitMs != 0 && anyArrived) {
      const std::int64_t left =
          options.idleExitMs - MillisecondsSince(lastArrival, now);
      if (left <= 0) break;
      waitMs = std::min(waitMs, left);
    }
    if (options.live) {
      const std::int64_t sinceFrame = MillisecondsSince(lastFrame, now);
      if ((changedSinceFrame && sinceFrame >= kLiveFrameMs) ||
          sinceFrame >= kLiveRefreshMs) {
        DrawLiveTable(options, stations);
        lastFrame = now;
        changedSinceFrame = false;
      } else if (changedSinceFrame) {
        waitMs = std::min(waitMs, kLiveFrameMs - sinceFrame);
      }
    }

    // Output goes out in one write per burst rather than per datagram, and
    // still promptly to a pipe whenever the socket runs dry.
    if (!receiver.Receive(&bytes, 0, &sender)) {
      std::fflush(stdout);
      capture.Flush();
      if (!receiver.Receive(&bytes, static_cast<int>(waitMs), &sender))
        continue;
    }
    anyArrived = true;
    changedSinceFrame = true;
    lastArrival = Clock::now();
    const WallClock::time_point arrivedAt = WallClock::now();
    capture.Write(sender, receiver.local(), bytes, arrivedAt);

    Datagram datagram;
    if (pelmora::wire::ParseDatagram(bytes.data(), bytes.size(), &datagram,
                                     &error)) {
      ++wellFormed;
      stations.Apply(datagram, sender, arrivedAt);
      PrintDatagram(options, datagram, bytes.size());
    } else {
      stations.CountMalformed(sender);
      PrintMalformed(options, bytes, error);
    }
  }

  if (options.live) DrawLiveTable(options, stations);
  PrintSummary(options, stations);
  std::fflush(stdout);
  if (!capture.Close(&error)) {
    std::fprintf(stderr, "pelmora-recv: %s\n", error.c_str());
    return 1;
  }
  if (!options.mirrorPath.empty() &&
      !WriteMirror(options.mirrorPath, stations)) {
    return 1;
  }
  return 0;
}

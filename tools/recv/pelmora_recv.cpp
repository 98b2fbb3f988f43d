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
#include <string>
#include <string_view>
#include <vector>

#include "pcap_writer.h"
#include "wire_reader.h"

namespace {

using pelmora::wire::Datagram;
using pelmora::wire::PointMirror;
using Clock = std::chrono::steady_clock;

constexpr char kUsage[] =
    "usage: pelmora-recv [options]\n"
    "\n"
    "Receives the plug-in's UDP datagrams, prints each one, keeps a mirror of\n"
    "the host's points, and prints a summary on exit.\n"
    "\n"
    "  --bind ADDR      IPv4 address to listen on (default 127.0.0.1;\n"
    "                   0.0.0.0 for every interface)\n"
    "  --port N         UDP port (default 7000; 0 picks a free one)\n"
    "  --json           one JSON object per line instead of text\n"
    "  --quiet          print only the summary\n"
    "  --count N        exit after N well-formed datagrams\n"
    "  --idle-exit MS   exit once MS milliseconds pass without a datagram;\n"
    "                   the clock starts at the first datagram, so the\n"
    "                   receiver can be started before the plug-in\n"
    "  --duration MS    exit MS milliseconds after start\n"
    "  --mirror FILE    on exit write the mirrored points to FILE, one\n"
    "                   'name|value' line each, sorted by name, bytes as sent\n"
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
    "Text output: a line per datagram (kind, station MAC, record count, "
    "size),\n"
    "then an indented line per record. Bytes outside 0x20-0x7E and the\n"
    "backslash are shown as \\xNN, since the host's code page is unknown.\n"
    "\n"
    "JSON output: objects with \"type\" \"datagram\" (kind, mac, bytes,\n"
    "records), \"malformed\" (error, bytes, hex of at most the first 1024\n"
    "bytes) and, last, \"summary\". Each byte 0x80-0xFF of a text is written "
    "as\n"
    "\\u00XX: read each code point of a decoded string as one byte to get the\n"
    "text as sent.\n"
    "\n"
    "Exit status: 0 when it ends normally, 1 when it cannot listen or write\n"
    "the mirror or the capture, 2 for a bad command line.\n";

// Bounds how long a signal arriving just before poll() can go unnoticed.
constexpr int kMaxWaitMs = 200;
constexpr std::size_t kMaxHexBytes = 1024;

volatile std::sig_atomic_t stopRequested = 0;

void OnStopSignal(int) { stopRequested = 1; }

struct Options {
  std::string bindAddress = "127.0.0.1";
  std::uint16_t port = 7000;
  bool json = false;
  bool quiet = false;
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
    const bool takesValue = option == "--bind" || option == "--port" ||
                            option == "--count" || option == "--idle-exit" ||
                            option == "--duration" || option == "--mirror" ||
                            option == "--pcap";
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
  return true;
}

// A JSON string literal of 8-bit text. Bytes above 0x7E become \u00XX of the
// byte itself, which keeps the line valid JSON whatever the code page and
// lets a reader get the exact bytes back.
void AppendJsonString(std::string* out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  *out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '"' || byte == '\\') {
      *out += '\\';
      *out += c;
    } else if (byte >= 0x20 && byte <= 0x7E) {
      *out += c;
    } else {
      *out += "\\u00";
      *out += kHex[byte >> 4];
      *out += kHex[byte & 0x0F];
    }
  }
  *out += '"';
}

std::string HexDump(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  const std::size_t shown = std::min(bytes.size(), kMaxHexBytes);
  std::string hex;
  hex.reserve(shown * 2);
  for (std::size_t i = 0; i < shown; ++i) {
    hex += kHex[bytes[i] >> 4];
    hex += kHex[bytes[i] & 0x0F];
  }
  return hex;
}

void PrintDatagram(const Options& options, const Datagram& datagram,
                   std::size_t size) {
  if (options.quiet) return;
  const char* kind = pelmora::wire::KindName(datagram.kind);
  const std::string mac = pelmora::wire::MacText(datagram.mac);
  if (!options.json) {
    std::printf("%-8s  mac=%s records=%zu bytes=%zu\n", kind, mac.c_str(),
                datagram.records.size(), size);
    for (const std::string& record : datagram.records) {
      std::printf("  %s\n", pelmora::wire::Escape(record).c_str());
    }
    return;
  }
  std::string line = "{\"type\":\"datagram\",\"kind\":\"";
  line += kind;
  line += "\",\"mac\":\"" + mac + "\",\"bytes\":" + std::to_string(size) +
          ",\"records\":[";
  for (std::size_t i = 0; i < datagram.records.size(); ++i) {
    if (i > 0) line += ',';
    AppendJsonString(&line, datagram.records[i]);
  }
  line += "]}\n";
  std::fputs(line.c_str(), stdout);
}

void PrintMalformed(const Options& options,
                    const std::vector<std::uint8_t>& bytes,
                    const std::string& error) {
  if (options.quiet) return;
  if (!options.json) {
    std::printf("malformed bytes=%zu: %s\n", bytes.size(), error.c_str());
    return;
  }
  std::string line = "{\"type\":\"malformed\",\"error\":";
  AppendJsonString(&line, error);
  line += ",\"bytes\":" + std::to_string(bytes.size()) + ",\"hex\":\"" +
          HexDump(bytes) + "\"}\n";
  std::fputs(line.c_str(), stdout);
}

void PrintSummary(const Options& options, const PointMirror& mirror,
                  std::uint64_t malformed) {
  static constexpr std::uint8_t kKinds[] = {pelmora::wire::kKindItem,
                                            pelmora::wire::kKindEvent,
                                            pelmora::wire::kKindSnapshot};
  if (options.json) {
    std::string line = "{\"type\":\"summary\"";
    for (const std::uint8_t kind : kKinds) {
      const PointMirror::Tally tally = mirror.tally(kind);
      line += ",\"" + std::string(pelmora::wire::KindName(kind)) +
              "\":{\"datagrams\":" + std::to_string(tally.datagrams) +
              ",\"records\":" + std::to_string(tally.records) + "}";
    }
    line += ",\"malformed\":" + std::to_string(malformed) +
            ",\"points\":" + std::to_string(mirror.points().size()) +
            ",\"events\":" + std::to_string(mirror.events().size()) + "}\n";
    std::fputs(line.c_str(), stdout);
    return;
  }
  std::printf("summary\n");
  for (const std::uint8_t kind : kKinds) {
    const PointMirror::Tally tally = mirror.tally(kind);
    std::printf("  %-9s datagrams=%" PRIu64 " records=%" PRIu64 "\n",
                pelmora::wire::KindName(kind), tally.datagrams, tally.records);
  }
  std::printf("  %-9s datagrams=%" PRIu64 "\n", "malformed", malformed);
  std::printf("  %-9s points=%zu events=%zu\n", "mirror",
              mirror.points().size(), mirror.events().size());
}

bool WriteMirror(const std::string& path, const PointMirror& mirror) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "pelmora-recv: cannot write %s: %s\n", path.c_str(),
                 std::strerror(errno));
    return false;
  }
  for (const auto& [name, value] : mirror.points()) {
    std::fwrite(name.data(), 1, name.size(), file);
    std::fputc('|', file);
    std::fwrite(value.data(), 1, value.size(), file);
    std::fputc('\n', file);
  }
  const bool failed = std::ferror(file) != 0;
  if (std::fclose(file) != 0 || failed) {
    std::fprintf(stderr, "pelmora-recv: error writing %s\n", path.c_str());
    return false;
  }
  return true;
}

std::int64_t MillisecondsSince(Clock::time_point start, Clock::time_point now) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(now - start)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int exitStatus = 0;
  if (!ParseOptions(argc, argv, &options, &exitStatus)) return exitStatus;

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

  PointMirror mirror;
  std::uint64_t wellFormed = 0;
  std::uint64_t malformed = 0;
  bool anyArrived = false;
  const Clock::time_point start = Clock::now();
  Clock::time_point lastArrival = start;
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

    // Output goes out in one write per burst rather than per datagram, and
    // still promptly to a pipe whenever the socket runs dry.
    if (!receiver.Receive(&bytes, 0, &sender)) {
      std::fflush(stdout);
      capture.Flush();
      if (!receiver.Receive(&bytes, static_cast<int>(waitMs), &sender))
        continue;
    }
    anyArrived = true;
    lastArrival = Clock::now();
    capture.Write(sender, receiver.local(), bytes,
                  std::chrono::system_clock::now());

    Datagram datagram;
    if (pelmora::wire::ParseDatagram(bytes.data(), bytes.size(), &datagram,
                                     &error)) {
      ++wellFormed;
      mirror.Apply(datagram);
      PrintDatagram(options, datagram, bytes.size());
    } else {
      ++malformed;
      PrintMalformed(options, bytes, error);
    }
  }

  PrintSummary(options, mirror, malformed);
  std::fflush(stdout);
  if (!capture.Close(&error)) {
    std::fprintf(stderr, "pelmora-recv: %s\n", error.c_str());
    return 1;
  }
  if (!options.mirrorPath.empty() && !WriteMirror(options.mirrorPath, mirror)) {
    return 1;
  }
  return 0;
}

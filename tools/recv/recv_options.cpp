#include "recv_options.h"

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "endpoint.h"
#include "tool_options.h"

namespace pelmora::recv {

const char kRecvUsage[] =
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

namespace {

using wire::ParseNumber;

// One setting by its key; false with the reason when key or value is bad.
bool Apply(std::string_view key, std::string_view value, RecvOptions* options,
           std::string* error) {
  bool valid = true;
  if (key == "json" || key == "quiet" || key == "live") {
    bool& on = key == "json"    ? options->json
               : key == "quiet" ? options->quiet
                                : options->live;
    valid = wire::ParseSwitch(value, &on);
  } else if (key == "bind") {
    options->bindAddress = value;
  } else if (key == "mirror") {
    options->mirrorPath = value;
  } else if (key == "pcap") {
    options->pcapPath = value;
  } else if (key == "encoding") {
    valid = value == "bytes" || value == "gbk";
    options->encoding =
        value == "gbk" ? wire::TextEncoding::kGbk : wire::TextEncoding::kBytes;
  } else if (key == "port") {
    valid = wire::ParsePort(value, wire::PortZero::kPicksOne, &options->port);
  } else if (key == "count") {
    valid = ParseNumber<std::uint64_t>(value, 1, UINT64_MAX, &options->count);
  } else if (key == "idle-exit") {
    valid =
        ParseNumber<std::int64_t>(value, 1, INT32_MAX, &options->idleExitMs);
  } else if (key == "duration") {
    valid =
        ParseNumber<std::int64_t>(value, 1, INT32_MAX, &options->durationMs);
  } else {
    *error = "unknown option --" + std::string(key);
    return false;
  }
  if (!valid) *error = wire::BadValue("--" + std::string(key), value);
  return valid;
}

}  // namespace

bool ParseRecvOptions(int argc, char** argv, RecvOptions* options,
                      int* exitStatus) {
  if (!wire::ParseToolOptions(
          {"pelmora-recv", kRecvUsage, {"json", "quiet", "live"}}, argc, argv,
          [options](std::string_view key, std::string_view value,
                    std::string* error) {
            return Apply(key, value, options, error);
          },
          exitStatus)) {
    return false;
  }
  if (options->live && options->quiet) {
    std::fprintf(stderr,
                 "pelmora-recv: --live and --quiet exclude each other\n");
    return false;
  }
  return true;
}

}  // namespace pelmora::recv

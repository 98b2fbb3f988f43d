// pelmora-cmd: sends one signed command to one station and prints what
// comes back, for integrators and tests.
//
// A station takes datagrams only from the server address and port it sends
// to, so this tool is that server for the moment: it binds the server's
// port itself (stop the gateway or receiver on it first) and sends from
// there. It learns the station's address from its first datagram unless
// --to gives it, and its session nonce from the refusal of a first send
// under no session (or from the opening reply of a new session).
#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "command_signing.h"
#include "datagram.h"
#include "signed_datagram.h"
#include "station_commands.h"
#include "tool_options.h"
#include "udp_receiver.h"

namespace {

using pelmora::gateway::CommandOutcome;
using pelmora::gateway::CommandState;
using pelmora::gateway::Moment;
using pelmora::gateway::StationCommands;
namespace wire = pelmora::wire;

constexpr char kUsage[] =
    "usage: pelmora-cmd --mac MAC --key-file FILE [options] write NAME VALUE\n"
    "       pelmora-cmd --mac MAC --key-file FILE [options] snapshot\n"
    "\n"
    "Sends one command to the station MAC, signed under its key, and prints\n"
    "each reply. The station takes commands only from the server it sends\n"
    "to: this tool binds that port itself (stop the gateway or receiver on\n"
    "it first).\n"
    "\n"
    "  --key-file FILE  'MAC KEY' lines, as the gateway's --keys file\n"
    "  --bind ADDR      IPv4 address of the server (default 127.0.0.1)\n"
    "  --port N         the server port the station sends to (default 7000)\n"
    "  --to ADDR:PORT   the station's address; without it, taken from the\n"
    "                   station's next datagram\n"
    "  --wait SECONDS   how long to wait for that datagram (default 30)\n"
    "  --help           this text\n"
    "\n"
    "Exit status: 0 when the station says delivered (a write: after the\n"
    "host's callback returned; a snapshot: sent), 1 when it refused or did\n"
    "not answer, 2 for a bad command line or key file.\n";

constexpr int kWaitMs = 20;

bool ParseEndpoint(const std::string& text, wire::Endpoint* out) {
  const std::size_t colon = text.rfind(':');
  in_addr address{};
  long port = 0;
  if (colon == std::string::npos ||
      ::inet_pton(AF_INET, text.substr(0, colon).c_str(), &address) != 1 ||
      !wire::ParseNumber(std::string_view(text).substr(colon + 1), 1L, 65535L,
                         &port))
    return false;
  out->address = ntohl(address.s_addr);
  out->port = static_cast<std::uint16_t>(port);
  return true;
}

int Usage(const char* complaint) {
  std::fprintf(stderr, "pelmora-cmd: %s\n%s", complaint, kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string macText, keyFile, bind = "127.0.0.1";
  long port = 7000, waitSeconds = 30;
  std::optional<wire::Endpoint> station;
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg.rfind("--", 0) != 0) {
      words.push_back(arg);
      continue;
    }
    if (i + 1 >= argc) return Usage(("no value for " + arg).c_str());
    const std::string value = argv[++i];
    wire::Endpoint to;
    if (arg == "--mac") {
      macText = value;
    } else if (arg == "--key-file") {
      keyFile = value;
    } else if (arg == "--bind") {
      bind = value;
    } else if (arg == "--port") {
      if (!wire::ParseNumber(std::string_view(value), 0L, 65535L, &port))
        return Usage(wire::BadValue("port", value).c_str());
    } else if (arg == "--wait") {
      if (!wire::ParseNumber(std::string_view(value), 1L, 86400L, &waitSeconds))
        return Usage(wire::BadValue("wait", value).c_str());
    } else if (arg == "--to") {
      if (!ParseEndpoint(value, &to))
        return Usage(wire::BadValue("to", value).c_str());
      station = to;
    } else {
      return Usage(("unknown option " + arg).c_str());
    }
  }
  const bool write = words.size() == 3 && words[0] == "write";
  if (!write && !(words.size() == 1 && words[0] == "snapshot"))
    return Usage("say 'write NAME VALUE' or 'snapshot'");
  wire::Mac mac{};
  if (!wire::ParseMacText(macText, &mac)) return Usage("--mac needs a MAC");
  if (keyFile.empty()) return Usage("--key-file needs a file");
  macText = wire::MacText(mac);

  StationCommands::Options options;
  std::map<std::string, wire::StationKey> keys;
  std::string warning, error;
  if (!wire::ReadKeyFile(keyFile, &keys, &warning, &error)) {
    std::fprintf(stderr, "pelmora-cmd: %s\n", error.c_str());
    return 2;
  }
  if (!warning.empty())
    std::fprintf(stderr, "pelmora-cmd: warning: %s\n", warning.c_str());
  if (!keys.count(macText)) {
    std::fprintf(stderr, "pelmora-cmd: no key for %s in %s\n", macText.c_str(),
                 keyFile.c_str());
    return 2;
  }
  options.keys[macText] = keys[macText];

  wire::UdpReceiver receiver;
  if (!receiver.Open(bind, static_cast<std::uint16_t>(port), &error)) {
    std::fprintf(stderr, "pelmora-cmd: %s\n", error.c_str());
    return 1;
  }
  wire::CatchStopSignals();
  if (!station) {
    std::printf("waiting on %s for %s\n",
                wire::EndpointText(receiver.local()).c_str(), macText.c_str());
    std::fflush(stdout);
  }
  std::vector<std::uint8_t> bytes;
  wire::Endpoint from;
  const auto giveUp =
      std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
  while (!station) {
    if (wire::StopRequested() || std::chrono::steady_clock::now() > giveUp) {
      std::fprintf(stderr, "pelmora-cmd: nothing heard from %s\n",
                   macText.c_str());
      return 1;
    }
    if (receiver.Receive(&bytes, kWaitMs * 10, &from) &&
        bytes.size() >= wire::kHeaderSize &&
        std::memcmp(bytes.data() + 16, mac.data(), mac.size()) == 0)
      station = from;
  }
  std::printf("station %s at %s\n", macText.c_str(),
              wire::EndpointText(*station).c_str());

  StationCommands commands(options,
                           [&station](const std::string&) { return station; });
  if (write) {
    commands.Write(macText, words[1], words[2], {});
  } else {
    commands.RequestSnapshot(macText);
  }
  std::vector<pelmora::gateway::OutgoingDatagram> outgoing;
  std::vector<CommandOutcome> outcomes;
  while (!wire::StopRequested()) {
    if (receiver.Receive(&bytes, kWaitMs, &from)) {
      wire::SignedDatagram reply;
      if (wire::ParseSignedDatagram(bytes.data(), bytes.size(), &reply,
                                    nullptr) &&
          reply.kind == wire::kKindReply && reply.mac == mac) {
        const bool holds =
            commands.OnReply(reply, bytes.data(), bytes.size()) ==
            pelmora::gateway::ReplyVerdict::kTaken;
        std::printf("reply %s%s\n", wire::DescribeSigned(reply).c_str(),
                    holds ? "" : " (bad signature, ignored)");
        std::fflush(stdout);
      }
    }
    outgoing.clear();
    outcomes.clear();
    commands.Tick(Moment::Now(), &outgoing, &outcomes);
    for (const auto& datagram : outgoing)
      receiver.SendTo(datagram.bytes.data(), datagram.bytes.size(),
                      datagram.to);
    for (const CommandOutcome& outcome : outcomes) {
      std::printf("%s%s%s\n", pelmora::gateway::CommandStateName(outcome.state),
                  outcome.reason.empty() ? "" : ": ", outcome.reason.c_str());
      std::fflush(stdout);
      if (outcome.state != CommandState::kQueued)
        return outcome.state == CommandState::kDelivered ? 0 : 1;
    }
  }
  return 1;
}

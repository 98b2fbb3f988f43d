// pelmora-cmd: sends one signed command to one station and prints what
// comes back, for integrators and tests.
//
// A station takes datagrams only from the server address and port it sends
// to, so this tool is that server for the moment: it binds the server's
// port itself (stop the gateway or receiver on it first) and sends from
// there. It learns the station's address from its first well-formed
// datagram or signed reply unless --to gives it, and the rest as the
// gateway does, through the same command path: the session from the
// refusal of a first send under no session, the sequences kept in the
// same state folder.
#include <chrono>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "cmd_options.h"
#include "command_signing.h"
#include "datagram.h"
#include "sequence_file.h"
#include "signed_datagram.h"
#include "station_commands.h"
#include "tool_options.h"
#include "udp_receiver.h"

namespace {

using pelmora::wire::CommandOutcome;
using pelmora::wire::CommandState;
using pelmora::wire::Moment;
using pelmora::wire::StationCommands;
namespace wire = pelmora::wire;

constexpr int kWaitMs = 20;

// Whether `bytes` came from station `mac`: one of its datagrams of points
// or events, well-formed in every part, or a reply its key signed; anything
// else on the port tells nothing of where the station is.
bool FromStation(const std::vector<std::uint8_t>& bytes, const wire::Mac& mac,
                 const wire::StationKey& key) {
  wire::Datagram datagram;
  if (wire::ParseDatagram(bytes.data(), bytes.size(), &datagram, nullptr))
    return datagram.mac == mac;
  wire::SignedDatagram reply;
  return wire::ParseSignedDatagram(bytes.data(), bytes.size(), &reply,
                                   nullptr) &&
         reply.kind == wire::kKindReply && reply.mac == mac &&
         wire::SignatureHolds(key, bytes.data(), bytes.size());
}

// What follows a reply's line: why it was ignored, if it was.
const char* Ignored(wire::ReplyVerdict verdict) {
  switch (verdict) {
    case wire::ReplyVerdict::kTaken:
      return "";
    case wire::ReplyVerdict::kNoKey:
      return " (no key, ignored)";
    case wire::ReplyVerdict::kBadSignature:
      return " (bad signature, ignored)";
    case wire::ReplyVerdict::kNotAnswering:
      return " (answers nothing under way, ignored)";
    case wire::ReplyVerdict::kWrongAddress:
      return " (from elsewhere than the command went, ignored)";
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  pelmora::cmd::CmdOptions cmd;
  int exitStatus = 2;
  if (!pelmora::cmd::ParseCmdOptions(argc, argv, &cmd, &exitStatus))
    return exitStatus;
  const wire::Mac& mac = cmd.mac;
  const std::string macText = wire::MacText(mac);
  const std::string& keyFile = cmd.keyFile;
  std::optional<wire::Endpoint> station = cmd.station;

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
  options.validity = std::chrono::milliseconds(cmd.validityMs);
  options.sequenceFile = cmd.stateDirectory + "/" + wire::SequenceFile::kName;
  if (!wire::MakeStateDirectory(cmd.stateDirectory, &error)) {
    std::fprintf(stderr, "pelmora-cmd: %s\n", error.c_str());
    return 1;
  }

  wire::UdpReceiver receiver;
  if (!receiver.Open(cmd.bindAddress, cmd.port, &error)) {
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
      std::chrono::steady_clock::now() + std::chrono::seconds(cmd.waitSeconds);
  while (!station) {
    if (wire::StopRequested() || std::chrono::steady_clock::now() > giveUp) {
      std::fprintf(stderr, "pelmora-cmd: nothing heard from %s\n",
                   macText.c_str());
      return 1;
    }
    if (receiver.Receive(&bytes, kWaitMs * 10, &from) &&
        FromStation(bytes, mac, keys[macText]))
      station = from;
  }
  std::printf("station %s at %s\n", macText.c_str(),
              wire::EndpointText(*station).c_str());

  StationCommands commands(options,
                           [&station](const std::string&) { return station; });
  if (!commands.Load(&error)) {
    std::fprintf(stderr, "pelmora-cmd: %s\n", error.c_str());
    return 1;
  }
  if (cmd.write) {
    commands.Write(macText, cmd.name, cmd.value, {});
  } else {
    commands.RequestSnapshot(macText);
  }
  std::vector<wire::OutgoingDatagram> outgoing;
  std::vector<CommandOutcome> outcomes;
  while (!wire::StopRequested()) {
    if (receiver.Receive(&bytes, kWaitMs, &from)) {
      wire::SignedDatagram reply;
      if (wire::ParseSignedDatagram(bytes.data(), bytes.size(), &reply,
                                    nullptr) &&
          reply.kind == wire::kKindReply && reply.mac == mac) {
        const wire::ReplyVerdict verdict =
            commands.OnReply(reply, bytes.data(), bytes.size(), from,
                             std::chrono::steady_clock::now());
        std::printf("reply %s%s\n", wire::DescribeSigned(reply).c_str(),
                    Ignored(verdict));
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
      std::printf("%s%s%s\n", wire::CommandStateName(outcome.state),
                  outcome.reason.empty() ? "" : ": ", outcome.reason.c_str());
      std::fflush(stdout);
      if (outcome.state != CommandState::kQueued)
        return outcome.state == CommandState::kDelivered ? 0 : 1;
    }
  }
  return 1;
}

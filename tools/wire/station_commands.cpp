#include "station_commands.h"

#include <algorithm>

#include "datagram.h"

namespace pelmora::wire {
namespace {

constexpr std::uint8_t kReplyOpened = 0x00;
constexpr std::uint8_t kReplyQueued = 0x01;
constexpr std::uint8_t kReplyDelivered = 0x02;
constexpr std::uint8_t kReasonWrongSession = 0x05;
constexpr std::uint8_t kReasonOldSequence = 0x06;
constexpr std::uint8_t kReasonRateLimited = 0x07;

// 2026-01-01T00:00:00Z, and the sequences a second from it.
constexpr std::int64_t kSequenceEpoch = 1767225600;
constexpr std::int64_t kSequencesPerSecond = 8;
// How far a sequence the station calls old jumps ahead.
constexpr std::uint32_t kSequenceJump = 1u << 20;

// The clock's slots since the epoch, one a sequence: the slot `wall` is
// in, and the first slot that begins at or after it.
using Slots =
    std::chrono::duration<std::int64_t, std::ratio<1, kSequencesPerSecond>>;
Slots SlotOf(std::chrono::system_clock::time_point wall) {
  return std::chrono::floor<Slots>(wall.time_since_epoch()) -
         std::chrono::seconds(kSequenceEpoch);
}
std::chrono::system_clock::time_point SlotStartAtOrAfter(
    std::chrono::system_clock::time_point wall) {
  return std::chrono::system_clock::time_point(
      std::chrono::ceil<Slots>(wall.time_since_epoch()));
}

}  // namespace

const char* CommandStateName(CommandState state) {
  switch (state) {
    case CommandState::kQueued:
      return "queued";
    case CommandState::kDelivered:
      return "delivered";
    case CommandState::kRefused:
      return "refused";
    case CommandState::kUnanswered:
      return "unanswered";
  }
  return "";
}

StationCommands::StationCommands(Options options, AddressOf addressOf)
    : options_(std::move(options)), addressOf_(std::move(addressOf)) {
  for (const auto& [mac, key] : options_.keys) {
    Station& station = stations_[mac];
    station.mac = mac;
    station.key = key;
    ParseMacText(mac, &station.macBytes);
  }
}

bool StationCommands::HasKey(const std::string& mac) const {
  return stations_.count(mac) != 0;
}

void StationCommands::Write(const std::string& mac, std::string name,
                            std::string value, std::string id) {
  Queue(mac, {false, std::move(name), std::move(value), std::move(id)});
}

bool StationCommands::RequestSnapshot(const std::string& mac) {
  const auto found = stations_.find(mac);
  if (found == stations_.end()) return false;
  for (const Command& command : found->second.waiting)
    if (command.snapshot) return false;
  return Queue(mac, {true, {}, {}, {}});
}

bool StationCommands::Queue(const std::string& mac, Command command) {
  const auto found = stations_.find(mac);
  if (found == stations_.end()) {
    Tell(mac, command, CommandState::kRefused, "no key for this station");
    return false;
  }
  Station& station = found->second;
  if (station.waiting.size() >= options_.mostWaiting) {
    Tell(mac, command, CommandState::kRefused,
         "too many commands waiting for this station");
    return false;
  }
  station.waiting.push_back(std::move(command));
  return true;
}

void StationCommands::Tell(const std::string& mac, const Command& command,
                           CommandState state, std::string reason) {
  CommandOutcome outcome;
  outcome.id = command.id;
  outcome.mac = mac;
  outcome.snapshot = command.snapshot;
  outcome.name = command.name;
  outcome.state = state;
  outcome.reason = std::move(reason);
  told_.push_back(std::move(outcome));
}

void StationCommands::Finish(Station& station, CommandState state,
                             std::string reason) {
  Tell(station.mac, station.waiting.front(), state, std::move(reason));
  station.waiting.pop_front();
  station.underWay = false;
}

ReplyVerdict StationCommands::OnReply(const SignedDatagram& reply,
                                      const std::uint8_t* bytes,
                                      std::size_t length) {
  const auto found = stations_.find(MacText(reply.mac));
  if (found == stations_.end()) return ReplyVerdict::kNoKey;
  Station& station = found->second;
  if (!SignatureHolds(station.key, bytes, length))
    return ReplyVerdict::kBadSignature;
  // Every signed reply carries the station's current session.
  station.nonce = reply.nonce;
  if (!station.underWay) return ReplyVerdict::kTaken;
  if (reply.state == kReplyOpened) {
    // A new session: what went before went to one that has ended.
    station.sendNow = true;
    return ReplyVerdict::kTaken;
  }
  if (reply.sequence != station.sequence) return ReplyVerdict::kTaken;
  if (reply.state == kReplyQueued) {
    // Still sent again while no delivery comes: that reply may be lost.
    if (!station.toldQueued) {
      station.toldQueued = true;
      Tell(station.mac, station.waiting.front(), CommandState::kQueued, {});
    }
  } else if (reply.state == kReplyDelivered) {
    Finish(station, CommandState::kDelivered, {});
  } else if (reply.reason == kReasonWrongSession) {
    station.sendNow = true;
  } else if (reply.reason == kReasonOldSequence && !station.jumped) {
    station.jumped = true;
    station.nextSequence = station.sequence + kSequenceJump;
    station.sequence = station.nextSequence++;
    station.sendNow = true;
  } else if (reply.reason != kReasonRateLimited) {
    // Rate limited: the next resend may get through.
    Finish(station, CommandState::kRefused, ReasonName(reply.reason));
  }
  return ReplyVerdict::kTaken;
}

void StationCommands::Tick(const Moment& now,
                           std::vector<OutgoingDatagram>* out,
                           std::vector<CommandOutcome>* outcomes) {
  for (auto& [mac, station] : stations_) Advance(station, now, out);
  for (CommandOutcome& outcome : told_) {
    outcome.time = now.wall;
    outcomes->push_back(std::move(outcome));
  }
  told_.clear();
}

void StationCommands::Stop(const Moment& now,
                           std::vector<CommandOutcome>* outcomes) {
  for (auto& [mac, station] : stations_) {
    while (!station.waiting.empty()) {
      if (station.underWay) {
        Finish(station, CommandState::kUnanswered,
               "the server stopped before a reply");
      } else {
        Finish(station, CommandState::kRefused, "the server stopped");
      }
    }
  }
  std::vector<OutgoingDatagram> none;
  Tick(now, &none, outcomes);
}

void StationCommands::Advance(Station& station, const Moment& now,
                              std::vector<OutgoingDatagram>* out) {
  while (!station.waiting.empty()) {
    const std::optional<Endpoint> to = addressOf_(station.mac);
    if (!to) {
      Finish(station, CommandState::kRefused,
             "station not heard from: no address to send to");
      continue;
    }
    if (!station.underWay) {
      if (station.nextSequence == 0) {
        // The first sequence is the clock's slot, taken once a slot has
        // begun since this command came: whoever used the station's session
        // before (a gateway, pelmora-cmd) and has ended by now had an
        // earlier slot. Equal sequences would get the earlier command's
        // remembered reply, and nothing done.
        if (!station.firstSlotStart)
          station.firstSlotStart = SlotStartAtOrAfter(now.wall);
        if (now.wall < *station.firstSlotStart) return;
        station.nextSequence = static_cast<std::uint32_t>(
            std::max<std::int64_t>(SlotOf(now.wall).count(), 1));
      }
      station.underWay = true;
      station.sequence = station.nextSequence++;
      station.sends = 0;
      station.sendNow = true;
      station.toldQueued = false;
      station.jumped = false;
    }
    if (!station.sendNow && now.steady < station.nextSend) return;
    if (station.sends >= options_.mostSends) {
      Finish(station, CommandState::kUnanswered,
             station.toldQueued ? "queued, then no delivery reply after " +
                                      std::to_string(station.sends) + " sends"
                                : "no reply after " +
                                      std::to_string(station.sends) + " sends");
      continue;
    }
    const Command& command = station.waiting.front();
    OutgoingDatagram datagram{*to, {}};
    if (!SealCommand(station.key, station.macBytes,
                     station.nonce.value_or(Nonce{}), station.sequence,
                     command.snapshot ? kCommandSnapshot : kCommandWrite,
                     command.name, command.value, &datagram.bytes)) {
      Finish(station, CommandState::kRefused,
             "name and value do not fit a datagram");
      continue;
    }
    out->push_back(std::move(datagram));
    // A send prompted by a reply starts the pauses over: the station is
    // there.
    station.pause = station.sends == 0 || station.sendNow
                        ? options_.firstPause
                        : std::min(station.pause * 2, options_.longestPause);
    ++station.sends;
    station.sendNow = false;
    station.nextSend = now.steady + station.pause;
    return;
  }
}

}  // namespace pelmora::wire

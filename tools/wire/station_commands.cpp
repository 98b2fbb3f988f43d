#include "station_commands.h"

#include <algorithm>

#include "datagram.h"

namespace pelmora::wire {
namespace {

// 2026-01-01T00:00:00Z, and the sequences a second from it.
constexpr std::int64_t kSequenceEpoch = 1767225600;
constexpr std::int64_t kSequencesPerSecond = 8;
// Sequences the file holds ahead of the one in use: it is replaced once in
// this many commands to a station, not at each.
constexpr std::uint32_t kKeptAhead = 4096;
// The last sequence a command takes: a station's session ends there.
constexpr std::uint32_t kLastSequence = 0xFFFFFFFE;

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

bool SameEndpoint(const Endpoint& a, const Endpoint& b) {
  return a.address == b.address && a.port == b.port;
}

bool WentTo(const std::vector<Endpoint>& sentTo, const Endpoint& from) {
  return std::any_of(sentTo.begin(), sentTo.end(), [&from](const Endpoint& to) {
    return SameEndpoint(to, from);
  });
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
    : options_(std::move(options)),
      addressOf_(std::move(addressOf)),
      sequences_(options_.sequenceFile) {
  for (const auto& [mac, key] : options_.keys) {
    Station& station = stations_[mac];
    station.mac = mac;
    station.key = key;
    ParseMacText(mac, &station.macBytes);
  }
}

bool StationCommands::Load(std::string* error) {
  return sequences_.Load(error);
}

bool StationCommands::HasKey(const std::string& mac) const {
  return stations_.count(mac) != 0;
}

void StationCommands::Write(const std::string& mac, std::string name,
                            std::string value, std::string id) {
  Command command{kCommandWrite, std::move(name), std::move(value),
                  std::move(id)};
  if (command.name.find('\0') != std::string::npos ||
      command.value.find('\0') != std::string::npos) {
    Tell(mac, command, CommandState::kRefused,
         "the name or value holds a NUL byte");
    return;
  }
  Queue(mac, std::move(command));
}

bool StationCommands::RequestSnapshot(const std::string& mac) {
  const auto found = stations_.find(mac);
  if (found == stations_.end()) return false;
  for (const Command& command : found->second.waiting)
    if (command.kind == kCommandSnapshot) return false;
  return Queue(mac, {kCommandSnapshot, {}, {}, {}});
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
  // A fence is the server's own: nobody waits for it.
  if (command.kind == kCommandFence) return;
  CommandOutcome outcome;
  outcome.id = command.id;
  outcome.mac = mac;
  outcome.snapshot = command.kind == kCommandSnapshot;
  outcome.name = command.name;
  outcome.state = state;
  outcome.reason = std::move(reason);
  told_.push_back(std::move(outcome));
}

void StationCommands::Finish(Station& station, CommandState state,
                             std::string reason) {
  const Command& command = station.waiting.front();
  Tell(station.mac, command, state, std::move(reason));
  if (station.underWay && state == CommandState::kUnanswered &&
      !station.sealed.bytes.empty()) {
    // It may yet be held somewhere: the session is fenced once the station
    // replies again. (An unanswered fence changes nothing of that.)
    if (command.kind != kCommandFence) {
      station.unfenced = station.sealed;
      station.fenceDue = false;
    }
    // Unanswered where the station last answered: it may have moved, and
    // where the table hears it from now is all there is to go by.
    const std::optional<Endpoint> heard = addressOf_(station.mac);
    if (station.bound && heard && !SameEndpoint(*heard, *station.bound))
      station.bound.reset();
  }
  station.waiting.pop_front();
  station.underWay = false;
}

bool StationCommands::FromStation(const Station& station,
                                  const Endpoint& from) const {
  if (station.bound && station.bound->address == from.address) return true;
  const std::optional<Endpoint> heard = addressOf_(station.mac);
  return heard && heard->address == from.address;
}

void StationCommands::Unanswering(Station& station, const SignedDatagram& reply,
                                  const Endpoint& from) {
  // Anyone else's address is no sign of the station at all.
  if (!FromStation(station, from)) return;
  if (station.unfenced) station.fenceDue = true;
  const bool opening = reply.state == kReplyOpened && reply.sequence == 0 &&
                       reply.answers == Digest{};
  if (!opening) return;
  // A session opened, maybe: what is under way goes again at once, in the
  // session it knows, whose refusal would teach the new one; the station
  // may have moved to where this came from.
  if (!station.bound || !SameEndpoint(*station.bound, from))
    station.hinted = from;
  if (station.underWay && !station.hintTaken) {
    station.hintSend = true;
    station.hintTaken = true;
  }
}

void StationCommands::Learn(Station& station, const SignedDatagram& reply,
                            const Endpoint& from,
                            std::chrono::steady_clock::time_point at) {
  station.bound = from;
  station.hinted.reset();
  station.nonce = reply.nonce;
  station.clock = reply.clock;
  station.clockAt = at;
  // Another session, or one whose latest is at or past the command told
  // unanswered: no held copy of it can act any more.
  if (station.unfenced && (reply.nonce != station.unfenced->nonce ||
                           reply.latest >= station.unfenced->sequence)) {
    station.unfenced.reset();
    station.fenceDue = false;
  }
}

ReplyVerdict StationCommands::OnReply(
    const SignedDatagram& reply, const std::uint8_t* bytes, std::size_t length,
    const Endpoint& from, std::chrono::steady_clock::time_point arrived) {
  const auto found = stations_.find(MacText(reply.mac));
  if (found == stations_.end()) return ReplyVerdict::kNoKey;
  Station& station = found->second;
  if (!SignatureHolds(station.key, bytes, length))
    return ReplyVerdict::kBadSignature;
  const bool answersUnderWay = station.underWay &&
                               !station.sealed.bytes.empty() &&
                               reply.answers == station.sealed.digest;
  if (!answersUnderWay) {
    // A late answer to the command told unanswered: the station is there,
    // in the session it names, and may be fenced.
    if (station.unfenced && reply.answers == station.unfenced->digest) {
      if (!WentTo(station.unfenced->sentTo, from))
        return ReplyVerdict::kWrongAddress;
      Learn(station, reply, from, arrived);
      if (station.unfenced) station.fenceDue = true;
      return ReplyVerdict::kTaken;
    }
    Unanswering(station, reply, from);
    return ReplyVerdict::kNotAnswering;
  }
  if (!WentTo(station.sealed.sentTo, from)) return ReplyVerdict::kWrongAddress;
  Learn(station, reply, from, arrived);
  if (reply.state == kReplyQueued) {
    // Still sent again while no delivery comes: that reply may be lost.
    if (!station.toldQueued) {
      station.toldQueued = true;
      Tell(station.mac, station.waiting.front(), CommandState::kQueued, {});
    }
  } else if (reply.state == kReplyDelivered) {
    Finish(station, CommandState::kDelivered, {});
  } else if (reply.state != kReplyRefused) {
    // An opening state never answers a command: nothing to go by.
  } else if (reply.reason == kReasonWrongSession) {
    // The same sequence, under the session the refusal carries.
    station.resealDue = true;
    station.sendNow = true;
  } else if (reply.reason == kReasonOldSequence ||
             reply.reason == kReasonOutsideValidity) {
    // Old: above the station's latest. Out of reach: a refusal makes its
    // sequence the latest, so a new one, on the clock the refusal carries.
    if (reply.latest == 0xFFFFFFFF) {
      Finish(station, CommandState::kRefused,
             "the station's session has used every sequence");
      return ReplyVerdict::kTaken;
    }
    station.nextSequence = std::max(station.nextSequence, reply.latest + 1);
    std::string why;
    if (!TakeSequence(station, &station.sealed.sequence, &why)) {
      Finish(station, CommandState::kRefused, why);
      return ReplyVerdict::kTaken;
    }
    station.resealDue = true;
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

bool StationCommands::Base(const Moment& now, std::string* why) {
  const auto slot = static_cast<std::uint32_t>(
      std::clamp<std::int64_t>(SlotOf(now.wall).count(), 1, kLastSequence));
  std::map<std::string, std::uint32_t> first, kept;
  for (const auto& [mac, station] : stations_) {
    const std::uint32_t above = sequences_.Kept(mac);
    first[mac] = std::max(slot, above == 0xFFFFFFFF ? above : above + 1);
    kept[mac] =
        first[mac] - 1 + std::min(kKeptAhead, kLastSequence - first[mac] + 1);
  }
  std::string error;
  if (!sequences_.Keep(kept, &error)) {
    *why = "cannot keep the sequences: " + error;
    return false;
  }
  for (auto& [mac, station] : stations_) {
    station.nextSequence = first[mac];
    station.kept = kept[mac];
  }
  based_ = true;
  return true;
}

bool StationCommands::TakeSequence(Station& station, std::uint32_t* sequence,
                                   std::string* why) {
  const std::uint32_t next = station.nextSequence;
  if (next == 0 || next > kLastSequence) {
    *why = "the station's session has used every sequence";
    return false;
  }
  if (next > station.kept) {
    const std::uint32_t kept =
        next - 1 + std::min(kKeptAhead, kLastSequence - next + 1);
    std::string error;
    if (!sequences_.Keep({{station.mac, kept}}, &error)) {
      *why = "cannot keep the sequences: " + error;
      return false;
    }
    station.kept = kept;
  }
  *sequence = next;
  station.nextSequence = next + 1;
  return true;
}

StationCommands::Begun StationCommands::Begin(Station& station,
                                              const Moment& now) {
  if (now.wall < std::chrono::system_clock::time_point(
                     std::chrono::seconds(kSequenceEpoch))) {
    Finish(station, CommandState::kRefused,
           "the clock reads before 2026-01-01 (UTC): set it; the sequences "
           "are taken from it");
    return Begun::kEnded;
  }
  if (!based_) {
    // The first sequences are the clock's slot, taken once a slot has begun
    // since the first command came: whoever used the stations' sessions
    // before (a gateway, pelmora-cmd) and has ended by now had an earlier
    // slot.
    if (!baseSlot_) baseSlot_ = SlotStartAtOrAfter(now.wall);
    if (now.wall < *baseSlot_) return Begun::kWait;
    std::string why;
    if (!Base(now, &why)) {
      Finish(station, CommandState::kRefused, why);
      return Begun::kEnded;
    }
  }
  station.sealed = Sealed{};
  std::string why;
  if (!TakeSequence(station, &station.sealed.sequence, &why)) {
    Finish(station, CommandState::kRefused, why);
    return Begun::kEnded;
  }
  station.underWay = true;
  station.resealDue = true;
  station.sends = 0;
  station.sendNow = true;
  station.hintSend = false;
  station.hintTaken = false;
  station.toldQueued = false;
  return Begun::kYes;
}

bool StationCommands::Seal(Station& station, const Moment& now) {
  const Command& command = station.waiting.front();
  Sealed& sealed = station.sealed;
  sealed.nonce = station.nonce.value_or(Nonce{});
  // The station's clock now, as its last answer told it (none yet: the
  // first send goes under no session, and its refusal tells the clock), and
  // the validity from there; the clock wraps as the station's does.
  const auto since =
      std::max(std::chrono::duration_cast<std::chrono::milliseconds>(
                   now.steady - station.clockAt),
               std::chrono::milliseconds(0));
  const std::uint32_t estimate =
      station.clock ? *station.clock + static_cast<std::uint32_t>(since.count())
                    : 0;
  const auto notAfter =
      static_cast<std::uint32_t>(estimate + options_.validity.count());
  if (!SealCommand(station.key, station.macBytes, sealed.nonce, sealed.sequence,
                   notAfter, command.kind, command.name, command.value,
                   &sealed.bytes)) {
    return false;
  }
  sealed.digest = DigestOf(sealed.bytes.data(), sealed.bytes.size());
  sealed.sentTo.clear();
  // The estimate lags the station's clock by the answer's way here, so the
  // station's not-after passes before this.
  sealed.actsUntil = now.steady + options_.validity;
  return true;
}

void StationCommands::Advance(Station& station, const Moment& now,
                              std::vector<OutgoingDatagram>* out) {
  // The station replied since a command went unanswered: its session is
  // fenced, unless a command of its own goes first and does that.
  if (station.fenceDue && station.waiting.empty()) {
    station.fenceDue = false;
    station.waiting.push_back({kCommandFence, {}, {}, {}});
  }
  while (!station.waiting.empty()) {
    const std::optional<Endpoint> heard = addressOf_(station.mac);
    if (!heard) {
      Finish(station, CommandState::kRefused,
             "station not heard from: no address to send to");
      continue;
    }
    if (!station.underWay) {
      const Begun begun = Begin(station, now);
      if (begun == Begun::kWait) return;
      if (begun == Begun::kEnded) continue;
    }
    const bool hint = station.hintSend;
    if (!hint && !station.sendNow && now.steady < station.nextSend) return;
    if (!hint && station.sends >= options_.mostSends) {
      // Told only once no copy of it can act any more.
      if (now.steady < station.sealed.actsUntil) return;
      Finish(station, CommandState::kUnanswered,
             station.toldQueued ? "queued, then no delivery reply after " +
                                      std::to_string(station.sends) + " sends"
                                : "no reply after " +
                                      std::to_string(station.sends) + " sends");
      continue;
    }
    if (station.resealDue) {
      if (!Seal(station, now)) {
        Finish(station, CommandState::kRefused,
               "name and value do not fit a datagram");
        continue;
      }
      station.resealDue = false;
    }
    std::vector<Endpoint> to = {station.bound.value_or(*heard)};
    if (station.hinted && !SameEndpoint(*station.hinted, to.front()))
      to.push_back(*station.hinted);
    for (const Endpoint& endpoint : to) {
      out->push_back({endpoint, station.sealed.bytes});
      if (!WentTo(station.sealed.sentTo, endpoint))
        station.sealed.sentTo.push_back(endpoint);
    }
    station.hintSend = false;
    if (hint && !station.sendNow) return;
    // A send prompted by a reply starts the pauses over: the station is
    // there.
    station.pause = station.sends == 0 || station.sendNow
                        ? options_.firstPause
                        : std::min(station.pause * 2, options_.longestPause);
    ++station.sends;
    station.sendNow = false;
    station.hintTaken = false;
    station.nextSend = now.steady + station.pause;
    return;
  }
}

}  // namespace pelmora::wire

// Signed commands from the server to stations: writes and snapshot
// requests, each signed under its station's key, sent to the address the
// station was last heard from, resent while no reply comes, and every
// outcome told. Knows nothing of MQTT, so that any front end can feed it.
//
// Per station one command is under way at a time, the rest wait in order
// behind it, so that a later write never overtakes an earlier one. A
// command is sent under the station's current session nonce, learned from
// its session-opening reply or from a refusal for a wrong session (which
// carries the current one); until then it goes under a nonce of zeros, whose
// refusal teaches the right one, and is signed and sent again at once.
// Without a reply it is sent again, same sequence, after a pause that
// doubles up to the longest, and after the most sends it is given up as
// unanswered. A write for a station without a key or not heard from yet is
// refused at once, never sent unsigned.
//
// Sequences grow within a session. A restarted server does not know the
// last one its predecessor used, so the first sequence of each station is
// derived from the wall clock: the eighth of a second since 2026-01-01, the
// first one that begins after the command came (its first send waits for
// it, 125 ms at most), so that it is above any an earlier server used,
// unless that one sent more than eight commands a second on average over
// its whole life; should the station still call it old, the sequence jumps
// ahead once and the command goes again.
#ifndef PELMORA_TOOLS_WIRE_STATION_COMMANDS_H_
#define PELMORA_TOOLS_WIRE_STATION_COMMANDS_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "command_signing.h"
#include "signed_datagram.h"
#include "endpoint.h"
#include "moment.h"

namespace pelmora::wire {

enum class CommandState { kQueued, kDelivered, kRefused, kUnanswered };
// "queued", "delivered", "refused", "unanswered".
const char* CommandStateName(CommandState state);

struct CommandOutcome {
  std::string id;
  std::string mac;
  bool snapshot = false;
  std::string name;  // a write's
  CommandState state = CommandState::kQueued;
  std::string reason;  // why refused or unanswered
  std::chrono::system_clock::time_point time;
};

struct OutgoingDatagram {
  Endpoint to;
  std::vector<std::uint8_t> bytes;
};

// What became of a reply.
enum class ReplyVerdict { kTaken, kNoKey, kBadSignature };

class StationCommands {
 public:
  struct Options {
    std::map<std::string, StationKey> keys;  // by "00-11-22-33-44-55"
    std::chrono::milliseconds firstPause{250};
    std::chrono::milliseconds longestPause{4000};
    int mostSends = 8;
    // Commands waiting per station, the one under way among them.
    std::size_t mostWaiting = 32;
  };
  // Where a station was last heard from; nothing when it was not.
  using AddressOf =
      std::function<std::optional<Endpoint>(const std::string& mac)>;

  StationCommands(Options options, AddressOf addressOf);

  bool HasKey(const std::string& mac) const;
  // Queues a write of `value` to the point `name` of station `mac`; `id` is
  // the caller's, given back with each outcome.
  void Write(const std::string& mac, std::string name, std::string value,
             std::string id);
  // Queues a snapshot request unless one waits already; false when none was
  // queued (no key, one waiting, no room).
  bool RequestSnapshot(const std::string& mac);

  // A reply (kind 04) as read from `length` bytes.
  ReplyVerdict OnReply(const SignedDatagram& reply, const std::uint8_t* bytes,
                       std::size_t length);

  // The datagrams to send now, and every outcome since the last call,
  // stamped `now`.
  void Tick(const Moment& now, std::vector<OutgoingDatagram>* out,
            std::vector<CommandOutcome>* outcomes);

  // Ends every command, for a server that stops: the one under way at a
  // station is unanswered (it may have been done), the others refused;
  // their outcomes and those not yet taken, stamped `now`.
  void Stop(const Moment& now, std::vector<CommandOutcome>* outcomes);

 private:
  struct Command {
    bool snapshot = false;
    std::string name, value, id;
  };
  struct Station {
    std::string mac;
    Mac macBytes{};
    StationKey key{};
    std::optional<Nonce> nonce;
    std::uint32_t nextSequence = 0;  // 0 until the first command goes
    std::optional<std::chrono::system_clock::time_point> firstSlotStart;
    std::deque<Command> waiting;
    // The front command, once under way.
    bool underWay = false;
    std::uint32_t sequence = 0;
    int sends = 0;
    bool sendNow = false;
    bool toldQueued = false;
    bool jumped = false;
    std::chrono::milliseconds pause{0};
    std::chrono::steady_clock::time_point nextSend;
  };

  bool Queue(const std::string& mac, Command command);
  void Tell(const std::string& mac, const Command& command, CommandState state,
            std::string reason);
  // Tells the front command's end and takes it off.
  void Finish(Station& station, CommandState state, std::string reason);
  // Sends or resends the front commands that are due; drops those that
  // cannot go.
  void Advance(Station& station, const Moment& now,
               std::vector<OutgoingDatagram>* out);

  Options options_;
  AddressOf addressOf_;
  std::map<std::string, Station> stations_;
  std::vector<CommandOutcome> told_;
};

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_STATION_COMMANDS_H_

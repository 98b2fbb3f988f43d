// Signed commands from the server to stations: writes and snapshot
// requests, each signed under its station's key, resent while no reply
// comes, and every outcome told. Knows nothing of MQTT, so that any front
// end can feed it: the gateway's broker, its page and its Sparkplug node,
// and pelmora-cmd.
//
// Per station one command is under way at a time, the rest wait in order
// behind it, so that a later write never overtakes an earlier one. A write
// for a station without a key or not heard from yet is refused at once,
// never sent unsigned.
//
// A reply counts only when it answers the command under way (it carries
// the first 16 bytes of that command's signature as sent) and comes from
// where that command went; only such a reply tells a state or a refusal,
// teaches the station's session nonce and clock, and binds where the
// station's commands go. Anything else the station signed (a reply of an
// earlier session or command, replayed or late) changes nothing: an
// outsider who captured one can neither end a command nor spend its sends.
// A session's opening reply that answers nothing is only a hint: the next
// resend goes at once, also to where the hint came from, without counting
// as a send; the refusal that answers it teaches the new session.
//
// Where commands go: a keyed station's to where its last answering reply
// came from; before any, to where the station table last heard it. Its
// unsigned data datagrams never move that, so that whoever can send from
// the station's address cannot draw its commands away; a command that went
// unanswered there frees it, as the station may have moved.
//
// A command carries a not-after on the station's session clock, learned
// from the answers (the clock they carry plus the time since they came):
// the validity ahead of it, 5 s unless set. Held back on the way and
// released later, it does nothing. A command is resent byte for byte (the
// station answers a resend with its remembered reply, and refuses the same
// sequence with other bytes); it is signed anew only when an answer says
// it must be: another session (the same sequence, under the new nonce), a
// sequence the station calls old (above the latest the answer carries), or
// a not-after it calls out of reach (a new sequence, on the clock the
// answer carries). `unanswered` is told only once the last signed copy's
// not-after has passed as far as the gateway can tell, and the station's
// session is then fenced: a fence command at a higher sequence, sent as
// soon as the station replies again, after which any held copy is old.
//
// Sequences grow within a session, and a station acts only on one above
// the last it took. So that a restarted server continues above what it
// used, the sequences are kept in a file (SequenceFile), a block ahead at a
// time; and so that a server that has no such file (another machine, a
// lost folder) is above its predecessors too, the first sequences are at
// least the wall clock's eighth of a second since 2026-01-01, taken once a
// slot has begun since the first command came. A clock before that day
// cannot be trusted for it: every command is refused while it reads so.
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
#include "endpoint.h"
#include "moment.h"
#include "sequence_file.h"
#include "signed_datagram.h"

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

// What became of a reply: it answered the command under way (or was a
// hint), or it was ignored: from a station without a key, failing its
// signature, answering nothing under way, or from where the command did not
// go.
enum class ReplyVerdict {
  kTaken,
  kNoKey,
  kBadSignature,
  kNotAnswering,
  kWrongAddress
};
inline constexpr std::size_t kReplyVerdicts = 5;

class StationCommands {
 public:
  struct Options {
    std::map<std::string, StationKey> keys;  // by "00-11-22-33-44-55"
    std::chrono::milliseconds firstPause{250};
    std::chrono::milliseconds longestPause{4000};
    int mostSends = 8;
    // Commands waiting per station, the one under way among them.
    std::size_t mostWaiting = 32;
    // How long after it is signed a command may act, on the station's
    // clock; the station refuses more than 60 s.
    std::chrono::milliseconds validity{5000};
    // Where the sequences are kept; empty: in memory only.
    std::string sequenceFile;
  };
  // Where the station table last heard a station from; nothing when it was
  // not, or it has fallen silent since.
  using AddressOf = std::function<std::optional<Endpoint>(const std::string&)>;

  StationCommands(Options options, AddressOf addressOf);

  // Reads the kept sequences; false with `error` naming the file when it
  // cannot. Before the first command.
  bool Load(std::string* error);

  bool HasKey(const std::string& mac) const;
  // Queues a write of `value` to the point `name` of station `mac`; `id` is
  // the caller's, given back with each outcome. A name or value holding a
  // NUL byte is refused: the host would take the text as ending there.
  void Write(const std::string& mac, std::string name, std::string value,
             std::string id);
  // Queues a snapshot request unless one waits already; false when none was
  // queued (no key, one waiting, no room).
  bool RequestSnapshot(const std::string& mac);

  // A reply (kind 04) as read from `length` bytes that came from `from` at
  // `arrived`.
  ReplyVerdict OnReply(const SignedDatagram& reply, const std::uint8_t* bytes,
                       std::size_t length, const Endpoint& from,
                       std::chrono::steady_clock::time_point arrived);

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
    std::uint8_t kind = kCommandWrite;  // write, snapshot or fence
    std::string name, value, id;
  };
  // A command signed and sent: under which session and sequence, the bytes
  // resent as they are, what an answer to it carries, where it went.
  struct Sealed {
    Nonce nonce{};
    std::uint32_t sequence = 0;
    std::vector<std::uint8_t> bytes;
    Digest digest{};
    std::vector<Endpoint> sentTo;
    // When it may have acted last, on the steady clock (its not-after, as
    // the gateway reckons the station's clock).
    std::chrono::steady_clock::time_point actsUntil;
  };
  struct Station {
    std::string mac;
    Mac macBytes{};
    StationKey key{};
    // The session, and its clock: what the last answer carried, and when
    // it came.
    std::optional<Nonce> nonce;
    std::optional<std::uint32_t> clock;
    std::chrono::steady_clock::time_point clockAt;
    // The next sequence to take, and the highest the file holds for it.
    std::uint32_t nextSequence = 0;
    std::uint32_t kept = 0;
    std::deque<Command> waiting;
    // Where its last answering reply came from, and where a hint came from
    // since.
    std::optional<Endpoint> bound;
    std::optional<Endpoint> hinted;
    // The last command told unanswered, until the station's session is
    // known to be past it; and whether the station replied since, which
    // sends the fence.
    std::optional<Sealed> unfenced;
    bool fenceDue = false;

    // The front command, once under way.
    bool underWay = false;
    Sealed sealed;
    bool resealDue = false;  // signed anew at the next send
    int sends = 0;
    bool sendNow = false;
    // The send due now is a hint's, which does not count; one is taken per
    // counted send at most, however many hints come.
    bool hintSend = false;
    bool hintTaken = false;
    bool toldQueued = false;
    std::chrono::milliseconds pause{0};
    std::chrono::steady_clock::time_point nextSend;
  };
  enum class Begun { kYes, kWait, kEnded };

  bool Queue(const std::string& mac, Command command);
  void Tell(const std::string& mac, const Command& command, CommandState state,
            std::string reason);
  // Tells the front command's end and takes it off.
  void Finish(Station& station, CommandState state, std::string reason);
  // Puts the front command under way with its sequence: not yet (its first
  // slot has not begun), or ended (refused) when no sequence can be had.
  Begun Begin(Station& station, const Moment& now);
  // The first sequences of every station, above the kept ones and the
  // clock's slot, kept in the file at once; false with `why`.
  bool Base(const Moment& now, std::string* why);
  // The station's next sequence, the file raised first where it must be;
  // false with `why` when none can be had.
  bool TakeSequence(Station& station, std::uint32_t* sequence,
                    std::string* why);
  // Signs the front command as it now stands (session, sequence, the
  // not-after from now); false when it does not fit a datagram.
  bool Seal(Station& station, const Moment& now);
  // Sends or resends the front commands that are due; drops those that
  // cannot go.
  void Advance(Station& station, const Moment& now,
               std::vector<OutgoingDatagram>* out);
  // Whether a reply from `from` came from the station's own address.
  bool FromStation(const Station& station, const Endpoint& from) const;
  // A reply signed by the station that answers nothing under way.
  void Unanswering(Station& station, const SignedDatagram& reply,
                   const Endpoint& from);
  // What an answer teaches: where the station is, its session and clock,
  // and whether the unfenced command is past.
  void Learn(Station& station, const SignedDatagram& reply,
             const Endpoint& from, std::chrono::steady_clock::time_point at);

  Options options_;
  AddressOf addressOf_;
  SequenceFile sequences_;
  // Once the first sequences are set: and before, the slot they wait for.
  bool based_ = false;
  std::optional<std::chrono::system_clock::time_point> baseSlot_;
  std::map<std::string, Station> stations_;
  std::vector<CommandOutcome> told_;
};

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_STATION_COMMANDS_H_

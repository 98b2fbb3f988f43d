// The two datagram kinds of signed commands, after the usual 32-byte header
// (see datagram_format.h); every integer little-endian.
//
// Command, server to station, kind 03, 77 to 1023 bytes:
//   32..39  session nonce    the station's, from its latest reply
//   40..43  sequence         u32, grows within a session
//   44      command          01 write, 02 snapshot
//   45..    body             write: u16 N, name, u16 M, value; snapshot: none
//   last 32 HMAC-SHA256 under the station's key of every byte before it
//
// Reply, station to server, kind 04, 78 bytes:
//   32..39  session nonce    the station's current one
//   40..43  sequence         the command's; 0 in the session's opening reply
//   44      state            00 session opened, 01 queued, 02 delivered,
//                            03 refused
//   45      reason           why refused; 00 otherwise
//   46..77  HMAC-SHA256 under the key of bytes 0..45
#ifndef PELMORA_COMMAND_COMMAND_WIRE_H_
#define PELMORA_COMMAND_COMMAND_WIRE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "config/settings.h"
#include "platform/env.h"
#include "transport/datagram_format.h"

namespace pelmora {

inline constexpr std::uint8_t kKindCommand = 0x03;
inline constexpr std::uint8_t kKindReply = 0x04;

inline constexpr std::size_t kSessionNonceSize = 8;
inline constexpr std::size_t kMinCommandSize =
    kHeaderSize + kSessionNonceSize + 4 + 1 + kHmacSha256Size;
inline constexpr std::size_t kReplySize =
    kHeaderSize + kSessionNonceSize + 4 + 2 + kHmacSha256Size;

using SessionNonce = std::array<std::uint8_t, kSessionNonceSize>;
using ReplyBytes = std::array<std::uint8_t, kReplySize>;

enum class CommandType : std::uint8_t { kWrite = 0x01, kSnapshot = 0x02 };

enum class ReplyState : std::uint8_t {
  kSessionOpened = 0x00,
  kQueued = 0x01,
  kDelivered = 0x02,
  kRefused = 0x03,
};

enum class RefusalReason : std::uint8_t {
  kNone = 0x00,
  kNoCallback = 0x01,      // the host registered no write callback
  kQueueFull = 0x02,       // too many writes wait for the host
  kUnknownCommand = 0x03,  // a command byte this station does not know
  kUnusableName = 0x04,    // empty, or holding '|'
  kWrongSession = 0x05,    // another nonce: the reply carries the current one
  kOldSequence = 0x06,     // not above the session's latest sequence
  kRateLimited = 0x07,     // more commands in a second than allowed
  kMalformed = 0x08,       // a body that does not read as its command's
  kSnapshotFailed = 0x09,  // the snapshot could not be sent
};

// A command whose signature, header and station MAC held; the views point
// into the datagram.
struct Command {
  SessionNonce nonce;
  std::uint32_t sequence = 0;
  std::uint8_t type = 0;
  std::string_view body;
};

// Whether `length` bytes are a command for the station of `header` signed
// under `key`: length, fixed bytes, kind, payload length, station MAC and
// signature (compared in constant time). Fills `command` when they are.
bool OpenCommand(Env& env, const CommandKey& key, const DatagramHeader& header,
                 const std::uint8_t* bytes, std::size_t length,
                 Command* command);

// A write's body: its name and value. False when the lengths do not end
// exactly at the body's end.
bool ReadWriteBody(std::string_view body, std::string_view* name,
                   std::string_view* value);

// A signed reply of the station of `header`; false when the keyed hash
// failed.
bool SealReply(Env& env, const CommandKey& key, const DatagramHeader& header,
               const SessionNonce& nonce, std::uint32_t sequence,
               ReplyState state, RefusalReason reason, ReplyBytes* reply);

// Equality of two byte ranges whose time does not depend on where they
// differ.
bool ConstantTimeEqual(const std::uint8_t* a, const std::uint8_t* b,
                       std::size_t length);

}  // namespace pelmora

#endif  // PELMORA_COMMAND_COMMAND_WIRE_H_

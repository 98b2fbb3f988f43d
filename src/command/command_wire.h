// The two datagram kinds of signed commands, after the usual 32-byte header
// (see datagram_format.h); every integer little-endian.
//
// Command, server to station, kind 03, 81 to 1023 bytes:
//   32..39  session nonce    the station's, from a fresh reply
//   40..43  sequence         u32, grows within a session
//   44..47  not-after        u32: the session clock after which the command
//                            must not act
//   48      command          01 write, 02 snapshot, 03 fence
//   49..    body             write: u16 N, name, u16 M, value; others: none
//   last 32 HMAC-SHA256 under the station's key of every byte before it
//
// Reply, station to server, kind 04, 102 bytes:
//   32..39  session nonce    the station's current one
//   40..43  sequence         the answered command's; 0 in the opening reply
//   44      state            00 session opened, 01 queued, 02 delivered,
//                            03 refused
//   45      reason           why refused; 00 otherwise
//   46..61  answers          the first 16 bytes of the answered command's
//                            HMAC; zeros in the opening reply
//   62..65  clock            the session clock as the reply was made
//   66..69  latest           the session's latest accepted sequence
//   70..101 HMAC-SHA256 under the key of bytes 0..69
//
// The session clock counts milliseconds since the station opened the
// session, wrapping modulo 2^32.
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
// How much of a command's HMAC a reply carries to say which it answers.
inline constexpr std::size_t kCommandDigestSize = 16;
inline constexpr std::size_t kMinCommandSize =
    kHeaderSize + kSessionNonceSize + 4 + 4 + 1 + kHmacSha256Size;
inline constexpr std::size_t kMaxCommandSize = kBufferSize - 1;
inline constexpr std::size_t kReplySize = kHeaderSize + kSessionNonceSize + 4 +
                                          2 + kCommandDigestSize + 4 + 4 +
                                          kHmacSha256Size;

using SessionNonce = std::array<std::uint8_t, kSessionNonceSize>;
using CommandDigest = std::array<std::uint8_t, kCommandDigestSize>;
using ReplyBytes = std::array<std::uint8_t, kReplySize>;

enum class CommandType : std::uint8_t {
  kWrite = 0x01,
  kSnapshot = 0x02,
  kFence = 0x03,
};

enum class ReplyState : std::uint8_t {
  kSessionOpened = 0x00,
  kQueued = 0x01,
  kDelivered = 0x02,
  kRefused = 0x03,
};

enum class RefusalReason : std::uint8_t {
  kNone = 0x00,
  kNoCallback = 0x01,       // the host registered no write callback
  kQueueFull = 0x02,        // too many writes wait for the host
  kUnknownCommand = 0x03,   // a command byte this station does not know
  kUnusableName = 0x04,     // empty, or holding '|' or a NUL byte
  kWrongSession = 0x05,     // another nonce: the reply carries the current one
  kOldSequence = 0x06,      // not above the session's latest sequence, or
                            // that sequence with other bytes
  kRateLimited = 0x07,      // more commands in a second than allowed
  kMalformed = 0x08,        // a body that does not read as its command's
  kSnapshotFailed = 0x09,   // the snapshot could not be sent
  kOutsideValidity = 0x0A,  // the session clock is past its not-after, or
                            // that lies too far ahead
};

// A command whose length, fixed bytes, kind, payload length, station MAC and
// signature held; the body points into the datagram.
struct Command {
  SessionNonce nonce;
  std::uint32_t sequence = 0;
  std::uint32_t notAfter = 0;
  std::uint8_t type = 0;
  std::string_view body;
  CommandDigest digest;  // what a reply to it carries as `answers`
};

// Whether `length` bytes are a command for the station of `header` signed
// under `key`. The cheap checks (length, fixed bytes, kind, payload length,
// station MAC) come first, so that stray traffic costs no keyed hash; the
// signature is compared in constant time. Fills `command` when they hold.
bool OpenCommand(Env& env, const CommandKey& key, const DatagramHeader& header,
                 const std::uint8_t* bytes, std::size_t length,
                 Command* command);

// A write's body: its name and value. False when the lengths do not end
// exactly at the body's end.
bool ReadWriteBody(std::string_view body, std::string_view* name,
                   std::string_view* value);

// What a reply says, apart from the session nonce.
struct ReplyFields {
  std::uint32_t sequence = 0;
  ReplyState state = ReplyState::kSessionOpened;
  RefusalReason reason = RefusalReason::kNone;
  CommandDigest answers = {};
  std::uint32_t clock = 0;
  std::uint32_t latest = 0;
};

// A signed reply of the station of `header`; false when the keyed hash
// failed.
bool SealReply(Env& env, const CommandKey& key, const DatagramHeader& header,
               const SessionNonce& nonce, const ReplyFields& fields,
               ReplyBytes* reply);

// Equality of two byte ranges whose time does not depend on where they
// differ.
bool ConstantTimeEqual(const std::uint8_t* a, const std::uint8_t* b,
                       std::size_t length);

}  // namespace pelmora

#endif  // PELMORA_COMMAND_COMMAND_WIRE_H_

// The server's reading of signed commands (kind 03, server to station) and
// their replies (kind 04), after the usual header; integers little-endian.
//
// Command, 81 to 1023 bytes: session nonce (8 bytes), sequence (u32),
// not-after (u32, the station's session clock after which it must not act),
// command byte (01 write, 02 snapshot, 03 fence), body (a write: u16 length
// and name, u16 length and value; the others: none), HMAC-SHA256 (32).
//
// Reply, 102 bytes: session nonce, sequence, state, reason, answers (the
// first 16 bytes of the answered command's HMAC), the session clock and
// the session's latest accepted sequence (u32 each), HMAC-SHA256.
//
// Written from the wire format alone, like datagram.h. The signature is
// only located here: checking it takes the station's key.
#ifndef PELMORA_TOOLS_WIRE_SIGNED_DATAGRAM_H_
#define PELMORA_TOOLS_WIRE_SIGNED_DATAGRAM_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pelmora::wire {

inline constexpr std::uint8_t kKindCommand = 0x03;
inline constexpr std::uint8_t kKindReply = 0x04;
inline constexpr std::size_t kSignatureSize = 32;
inline constexpr std::size_t kDigestSize = 16;
inline constexpr std::size_t kMinCommandSize = 81;
inline constexpr std::size_t kMaxCommandSize = 1023;
inline constexpr std::size_t kReplySize = 102;

// A command's byte.
inline constexpr std::uint8_t kCommandWrite = 0x01;
inline constexpr std::uint8_t kCommandSnapshot = 0x02;
inline constexpr std::uint8_t kCommandFence = 0x03;

// A reply's state.
inline constexpr std::uint8_t kReplyOpened = 0x00;
inline constexpr std::uint8_t kReplyQueued = 0x01;
inline constexpr std::uint8_t kReplyDelivered = 0x02;
inline constexpr std::uint8_t kReplyRefused = 0x03;

// A refusal's reason.
inline constexpr std::uint8_t kReasonNoCallback = 0x01;
inline constexpr std::uint8_t kReasonQueueFull = 0x02;
inline constexpr std::uint8_t kReasonUnknownCommand = 0x03;
inline constexpr std::uint8_t kReasonUnusableName = 0x04;
inline constexpr std::uint8_t kReasonWrongSession = 0x05;
inline constexpr std::uint8_t kReasonOldSequence = 0x06;
inline constexpr std::uint8_t kReasonRateLimited = 0x07;
inline constexpr std::uint8_t kReasonMalformed = 0x08;
inline constexpr std::uint8_t kReasonSnapshotFailed = 0x09;
inline constexpr std::uint8_t kReasonOutsideValidity = 0x0A;

// Which command a reply answers: the first 16 bytes of its HMAC.
using Digest = std::array<std::uint8_t, kDigestSize>;

struct SignedDatagram {
  std::uint8_t kind = 0;
  std::array<std::uint8_t, 6> mac{};
  std::array<std::uint8_t, 8> nonce{};
  std::uint32_t sequence = 0;
  std::uint32_t notAfter = 0;           // a command's
  std::uint8_t command = 0;             // a command's
  std::string name, value;              // a write's
  std::uint8_t state = 0, reason = 0;   // a reply's
  Digest answers{};                     // a reply's
  std::uint32_t clock = 0, latest = 0;  // a reply's
};

// Whether the datagram is a command or a reply laid out as above (header,
// lengths, a write's body ending where the signature begins, no body after
// a snapshot or fence); fills `out` when it is, and `error` (if given) says
// what broke when a command or reply is not; of any other kind, false with
// `error` untouched.
bool ParseSignedDatagram(const std::uint8_t* data, std::size_t length,
                         SignedDatagram* out, std::string* error);

// What a reply answering the signed command of `length` bytes at `data`
// carries: the first 16 bytes of its signature. Requires: length >= 32.
Digest DigestOf(const std::uint8_t* data, std::size_t length);

// "no callback", "wrong session", ... for a refusal's reason byte.
const char* ReasonName(std::uint8_t reason);

// "write sequence 1 (not after 5000 ms)", "refused sequence 3: wrong
// session (answers 7be2f547, clock 1200 ms, latest 2)" and the like.
std::string DescribeSigned(const SignedDatagram& datagram);

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_SIGNED_DATAGRAM_H_

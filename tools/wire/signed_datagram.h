// The server's reading of signed commands (kind 03, server to station) and
// their replies (kind 04): the usual header, then the session nonce (8
// bytes) and the sequence (u32 LE); a command then its command byte (01
// write, 02 snapshot) and body (a write: u16 length and name, u16 length
// and value), a reply its state and reason bytes; both end in a 32-byte
// HMAC-SHA256. Written from the wire format alone, like datagram.h. The
// signature is only located here: checking it takes the station's key.
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
inline constexpr std::size_t kMinCommandSize = 77;
inline constexpr std::size_t kReplySize = 78;

struct SignedDatagram {
  std::uint8_t kind = 0;
  std::array<std::uint8_t, 6> mac{};
  std::array<std::uint8_t, 8> nonce{};
  std::uint32_t sequence = 0;
  std::uint8_t command = 0;            // a command's
  std::string name, value;             // a write's
  std::uint8_t state = 0, reason = 0;  // a reply's
};

// Whether the datagram is a command or a reply laid out as above (header,
// lengths, a write's body ending where the signature begins); fills `out`
// when it is, and `error` (if given) says what broke when a command or
// reply is not; of any other kind, false with `error` untouched.
bool ParseSignedDatagram(const std::uint8_t* data, std::size_t length,
                         SignedDatagram* out, std::string* error);

// "no callback", "wrong session", ... for a refusal's reason byte.
const char* ReasonName(std::uint8_t reason);

// "write sequence 1", "snapshot sequence 2", "delivered sequence 1",
// "refused sequence 3: wrong session" and the like.
std::string DescribeSigned(const SignedDatagram& datagram);

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_SIGNED_DATAGRAM_H_

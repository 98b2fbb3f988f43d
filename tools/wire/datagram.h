// The server's reading of what the plug-in sends: the datagram layout,
// checked rule by rule, and the texts of its records.
//
// Written from the wire format alone, without the plug-in's own sources, so
// that a disagreement between the two shows up instead of being shared.
//
//   0..3   FF FF FF FF        fixed
//   4..7   02 00 00 01        fixed
//   8      kind               01 item, 02 event, FF snapshot
//   9..11  FF FF FF           fixed
//   12..15 payload length     u32 LE, datagram length minus 32
//   16..21 station MAC
//   22..31 FF x 10            fixed
//   32..   records            u16 LE length, then that many bytes of text
#ifndef PELMORA_TOOLS_WIRE_DATAGRAM_H_
#define PELMORA_TOOLS_WIRE_DATAGRAM_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pelmora::wire {

inline constexpr std::size_t kHeaderSize = 32;
inline constexpr std::size_t kMaxDatagramSize = 1023;

inline constexpr std::uint8_t kKindItem = 0x01;
inline constexpr std::uint8_t kKindEvent = 0x02;
inline constexpr std::uint8_t kKindSnapshot = 0xFF;

struct Datagram {
  std::uint8_t kind = 0;
  std::array<std::uint8_t, 6> mac{};
  std::vector<std::string> records;
};

// Which rule of the layout a malformed datagram broke.
enum class Malformed {
  kTooShort,        // shorter than the header
  kTooLong,         // over 1023 bytes
  kFixedByte,       // a fixed header byte differs
  kUnknownKind,     // the kind byte is none of the three
  kLengthMismatch,  // the payload length disagrees with the datagram's
  kNoRecord,        // a header alone
  kRecordOverrun,   // a record runs past the end
};
inline constexpr int kMalformedKinds = 7;

// "too_short", "too_long", "fixed_byte", "unknown_kind", "length_mismatch",
// "no_record", "record_overrun".
const char* MalformedName(Malformed reason);

// Checks every rule of the layout and fills `out` only when all hold; on
// failure `error` (if given) says which rule broke and where, and `reason`
// (if given) which rule it was.
bool ParseDatagram(const std::uint8_t* data, std::size_t length, Datagram* out,
                   std::string* error, Malformed* reason = nullptr);

// "item", "event", "snapshot", or "unknown".
const char* KindName(std::uint8_t kind);

// "00-11-22-33-44-55", upper-case hex.
std::string MacText(const std::array<std::uint8_t, 6>& mac);
// Six hex pairs, either case, all apart by '-' or all by ':'; the whole
// text.
bool ParseMacText(std::string_view text, std::array<std::uint8_t, 6>* mac);

// The text with every byte outside 0x20..0x7E, and the backslash, written as
// \xNN. The texts are in the host's code page, which the receiver does not
// know, so bytes above 0x7E are shown by value rather than guessed at.
std::string Escape(std::string_view text);

// Splits at the first bar: names carry none, values may. A text without a bar
// is all name, with an empty value.
void SplitRecord(std::string_view text, std::string_view* name,
                 std::string_view* value);

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_DATAGRAM_H_

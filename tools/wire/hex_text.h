// Hex digits as the tools read and write them: keys, MACs, byte escapes,
// the %XX of topic levels, JSON's \uXXXX, the ids of the page's points.
// Reading takes either case everywhere; where only one spelling may stand
// (a topic level), the caller compares with what it would write.
#ifndef PELMORA_TOOLS_WIRE_HEX_TEXT_H_
#define PELMORA_TOOLS_WIRE_HEX_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace pelmora::wire {

enum class HexCase { kLower, kUpper };

// 0 to 15 for a hex digit, either case; -1 for any other character.
int HexDigitValue(char c);

// Exactly 2 * `size` hex digits into `size` bytes; false, writing nothing,
// when the text is anything else.
bool ParseHexBytes(std::string_view text, std::uint8_t* bytes,
                   std::size_t size);

// One to eight hex digits, all of the text, as a number.
bool ParseHexNumber(std::string_view text, std::uint32_t* value);

// Two digits for the byte.
void AppendHexByte(std::uint8_t byte, HexCase letters, std::string* out);

// Two lower-case digits a byte.
std::string HexOf(const std::uint8_t* bytes, std::size_t size);
std::string HexOf(std::string_view bytes);

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_HEX_TEXT_H_

// Reading the host's texts as GBK (code page 936), the code page of the
// hosts the plug-in is made for: the receiver's --encoding gbk and the
// gateway's topics and JSON payloads.
//
// The table of GBK pairs comes from the system's own converter (iconv on
// POSIX, MultiByteToWideChar on Windows), read once on first use. A pair
// counts as a GBK character only where the conversion goes both ways to the
// same bytes, so decoding and encoding a character always give back the
// bytes the host sent.
#ifndef PELMORA_TOOLS_WIRE_CODE_PAGE_H_
#define PELMORA_TOOLS_WIRE_CODE_PAGE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace pelmora::wire {

// How the host's texts are shown: byte by byte, or read as GBK.
enum class TextEncoding { kBytes, kGbk };

// Decodes the one character at the start of `gbk`: appends its UTF-8 form to
// `utf8` and returns the bytes it took (1 for ASCII 0x00-0x7F, 2 for a GBK
// pair); returns 0, appending nothing, when no GBK character starts there.
std::size_t DecodeGbkChar(std::string_view gbk, std::string* utf8);

// The reverse: encodes the one UTF-8 character at the start of `utf8` into
// GBK, appends it to `gbk` and returns the UTF-8 bytes it took; 0 when the
// UTF-8 is malformed there or the character has no GBK form.
std::size_t EncodeGbkChar(std::string_view utf8, std::string* gbk);

// The whole text decoded; each byte that starts no GBK character becomes
// U+FFFD. `exact` (when given) tells whether every byte decoded.
std::string GbkToUtf8(std::string_view gbk, bool* exact = nullptr);

// The platform's half: the Unicode code point of the GBK pair (lead, trail),
// or 0 when the system's converter knows no such pair.
char32_t SystemGbkPairToCodePoint(unsigned char lead, unsigned char trail);

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_CODE_PAGE_H_

// UTF-8, the tools' text on MQTT, in JSON and on the terminal, written and
// read by one set of rules.
//
// Writing takes Unicode scalar values; a surrogate or a value above
// U+10FFFF, which no text can hold, is written as U+FFFD, so the output is
// always well-formed. Reading takes only the shortest form of a scalar
// value: an overlong form (C0 AF for '/'), an encoded surrogate (ED A0 80),
// a value above U+10FFFF (F4 90 80 80), a stray continuation byte and a
// sequence cut short are each no character, and the caller decides what
// such a byte becomes.
#ifndef PELMORA_TOOLS_WIRE_UTF8_H_
#define PELMORA_TOOLS_WIRE_UTF8_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace pelmora::wire {

// U+FFFD, for a byte that is no character.
inline constexpr char kReplacementUtf8[] = "\xEF\xBF\xBD";

// Appends `code` in UTF-8: 1 to 4 bytes, or U+FFFD when it is no scalar
// value.
void AppendUtf8(char32_t code, std::string* out);

// The character at the start of `utf8` into `code`; returns the bytes it
// took (1 to 4), or 0, leaving `code` alone, when no well-formed character
// starts there (the text empty included).
std::size_t ReadUtf8(std::string_view utf8, char32_t* code);

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_UTF8_H_

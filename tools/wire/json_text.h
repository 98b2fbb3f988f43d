// Host texts in JSON, for the receiver's JSON lines and the gateway's
// payloads.
#ifndef PELMORA_TOOLS_RECV_JSON_TEXT_H_
#define PELMORA_TOOLS_RECV_JSON_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "code_page.h"

namespace pelmora::wire {

// A JSON string literal of a host text. Control bytes become \u00XX. With
// bytes, so do the bytes above 0x7E, each the code point of its own value,
// which keeps the line valid JSON whatever the code page and lets a reader
// get the exact bytes back. With gbk, GBK characters go in as UTF-8 and a
// byte that starts none as U+FFFD; false when there was such a byte.
bool AppendJsonString(std::string* out, std::string_view text,
                      TextEncoding encoding);

// Lower-case hex, two digits a byte.
std::string HexOf(const std::uint8_t* bytes, std::size_t size);

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_RECV_JSON_TEXT_H_

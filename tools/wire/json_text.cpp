#include "json_text.h"

namespace pelmora::wire {

namespace {

constexpr char kHex[] = "0123456789abcdef";

}  // namespace

bool AppendJsonString(std::string* out, std::string_view text,
                      TextEncoding encoding) {
  bool exact = true;
  *out += '"';
  while (!text.empty()) {
    const auto byte = static_cast<unsigned char>(text[0]);
    std::size_t used = 1;
    if (byte == '"' || byte == '\\') {
      *out += '\\';
      *out += text[0];
    } else if (byte >= 0x20 && byte <= 0x7E) {
      *out += text[0];
    } else if (byte < 0x80 || encoding == TextEncoding::kBytes) {
      *out += "\\u00";
      *out += kHex[byte >> 4];
      *out += kHex[byte & 0x0F];
    } else if ((used = DecodeGbkChar(text, out)) == 0) {
      *out += "\xEF\xBF\xBD";
      exact = false;
      used = 1;
    }
    text.remove_prefix(used);
  }
  *out += '"';
  return exact;
}

std::string HexOf(const std::uint8_t* bytes, std::size_t size) {
  std::string hex;
  hex.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    hex += kHex[bytes[i] >> 4];
    hex += kHex[bytes[i] & 0x0F];
  }
  return hex;
}

}  // namespace pelmora::wire

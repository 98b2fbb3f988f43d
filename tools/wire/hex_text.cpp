#include "hex_text.h"

namespace pelmora::wire {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHexBytes(std::string_view text, std::uint8_t* bytes,
                   std::size_t size) {
  if (text.size() != size * 2) return false;
  for (const char c : text) {
    if (HexDigitValue(c) < 0) return false;
  }
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(HexDigitValue(text[2 * i]) << 4 |
                                         HexDigitValue(text[2 * i + 1]));
  }
  return true;
}

bool ParseHexNumber(std::string_view text, std::uint32_t* value) {
  if (text.empty() || text.size() > 8) return false;
  std::uint32_t number = 0;
  for (const char c : text) {
    const int digit = HexDigitValue(c);
    if (digit < 0) return false;
    number = number << 4 | static_cast<std::uint32_t>(digit);
  }
  *value = number;
  return true;
}

void AppendHexByte(std::uint8_t byte, HexCase letters, std::string* out) {
  const char* digits =
      letters == HexCase::kUpper ? "0123456789ABCDEF" : "0123456789abcdef";
  *out += digits[byte >> 4];
  *out += digits[byte & 0x0F];
}

std::string HexOf(const std::uint8_t* bytes, std::size_t size) {
  std::string hex;
  hex.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i)
    AppendHexByte(bytes[i], HexCase::kLower, &hex);
  return hex;
}

std::string HexOf(std::string_view bytes) {
  return HexOf(reinterpret_cast<const std::uint8_t*>(bytes.data()),
               bytes.size());
}

}  // namespace pelmora::wire

#include "utf8.h"

namespace pelmora::wire {

namespace {

constexpr char32_t kLastScalar = 0x10FFFF;

bool IsSurrogate(char32_t code) { return code >= 0xD800 && code <= 0xDFFF; }

}  // namespace

void AppendUtf8(char32_t code, std::string* out) {
  if (IsSurrogate(code) || code > kLastScalar) {
    *out += kReplacementUtf8;
  } else if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xC0 | code >> 6);
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    *out += static_cast<char>(0xE0 | code >> 12);
    *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | code >> 18);
    *out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
    *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

std::size_t ReadUtf8(std::string_view utf8, char32_t* code) {
  if (utf8.empty()) return 0;
  const auto first = static_cast<unsigned char>(utf8[0]);
  std::size_t length = 0;
  char32_t value = 0;
  char32_t least = 0;  // below it, a shorter form exists
  if (first < 0x80) {
    *code = first;
    return 1;
  } else if ((first & 0xE0) == 0xC0) {
    length = 2, value = first & 0x1F, least = 0x80;
  } else if ((first & 0xF0) == 0xE0) {
    length = 3, value = first & 0x0F, least = 0x800;
  } else if ((first & 0xF8) == 0xF0) {
    length = 4, value = first & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (utf8.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if ((byte & 0xC0) != 0x80) return 0;
    value = value << 6 | (byte & 0x3F);
  }
  if (value < least || value > kLastScalar || IsSurrogate(value)) return 0;
  *code = value;
  return length;
}

}  // namespace pelmora::wire

// The MAC text scanner: it writes its six bytes and nothing beyond, leaves
// them zero for a text that is not 17 bytes long, and on a 17-byte text
// fills the bytes that sscanf's "%X:%X:%X:%X:%X:%X" fills, with their low 8
// bits, and zero after them.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "config/station_identity.h"

namespace {

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
         (c >= 'A' && c <= 'F');
}

// Texts on which glibc's sscanf parts from the scanner, by design of each:
// - A "0x" with no hex digit after it: glibc reads the bare prefix as the
//   value 0 and scans on after the 'x'; the scanner ends the scan there,
//   which is the C standard's reading (a bare prefix does not match).
// - Seventeen hex digits from a non-zero one: a value past unsigned long,
//   which glibc stores as ULONG_MAX, and of which the scanner keeps the low
//   bits as it does for every value.
bool GlibcPartsFromTheScanner(const std::string& text) {
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
        (i + 2 == text.size() || !IsHexDigit(text[i + 2])))
      return true;
  }
  return text[0] != '0' && std::all_of(text.begin(), text.end(), IsHexDigit);
}

[[noreturn]] void Fail(const std::string& text, int at, unsigned expected,
                       unsigned got) {
  std::fprintf(stderr,
               "mac_text_fuzz: byte %d of \"%s\" is %02X, expected %02X\n", at,
               text.c_str(), got, expected);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // Exactly six bytes of their own: a write past them is an
  // AddressSanitizer report.
  std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[6]);
  pelmora::ParseMacText(text, bytes.get());

  unsigned values[6] = {};
  int filled = 0;
  if (size == 17) {
    if (GlibcPartsFromTheScanner(text)) return 0;
    filled =
        std::sscanf(text.c_str(), "%X:%X:%X:%X:%X:%X", &values[0], &values[1],
                    &values[2], &values[3], &values[4], &values[5]);
  }
  for (int i = 0; i < 6; ++i) {
    const unsigned expected = i < filled ? values[i] & 0xFF : 0;
    if (bytes[i] != expected) Fail(text, i, expected, bytes[i]);
  }
  return 0;
}

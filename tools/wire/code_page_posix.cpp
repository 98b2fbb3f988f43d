// The GBK table from glibc's iconv.
#include <iconv.h>

#include <cstdint>

#include "code_page.h"

namespace pelmora::wire {

char32_t SystemGbkPairToCodePoint(unsigned char lead, unsigned char trail) {
  // One converter for the whole table, which is read once, on one thread.
  static const iconv_t converter = ::iconv_open("UTF-32LE", "GBK");
  if (converter == reinterpret_cast<iconv_t>(-1)) return 0;
  char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
  unsigned char out[8] = {};
  char* inAt = in;
  char* outAt = reinterpret_cast<char*>(out);
  std::size_t inLeft = sizeof in;
  std::size_t outLeft = sizeof out;
  ::iconv(converter, nullptr, nullptr, nullptr, nullptr);
  if (::iconv(converter, &inAt, &inLeft, &outAt, &outLeft) ==
          static_cast<std::size_t>(-1) ||
      inLeft != 0 || sizeof out - outLeft != 4) {
    return 0;
  }
  return static_cast<char32_t>(out[0] | out[1] << 8 | out[2] << 16 |
                               static_cast<std::uint32_t>(out[3]) << 24);
}

}  // namespace pelmora::wire

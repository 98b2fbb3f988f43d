// The GBK table from the system's code page 936.
#include <windows.h>

#include "code_page.h"

namespace pelmora::wire {

char32_t SystemGbkPairToCodePoint(unsigned char lead, unsigned char trail) {
  const char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
  wchar_t out[2] = {};
  const int written =
      ::MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, in, 2, out, 2);
  // Every GBK pair is in the Basic Multilingual Plane.
  if (written != 1) return 0;
  return static_cast<char32_t>(out[0]);
}

}  // namespace pelmora::wire

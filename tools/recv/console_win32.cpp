// The Windows console takes neither ANSI control sequences nor UTF-8 unless
// told to.
#include <windows.h>

#include "console.h"

namespace pelmora::recv {

void PrepareConsole(const RecvOptions& options) {
  const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (options.live && ::GetConsoleMode(out, &mode))
    ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  if (options.encoding == wire::TextEncoding::kGbk)
    ::SetConsoleOutputCP(CP_UTF8);
}

}  // namespace pelmora::recv

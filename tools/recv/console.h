// The terminal the receiver writes to, made ready for what it will show;
// one implementation per system (console_posix.cpp, console_win32.cpp).
#ifndef PELMORA_TOOLS_RECV_CONSOLE_H_
#define PELMORA_TOOLS_RECV_CONSOLE_H_

#include "recv_options.h"

namespace pelmora::recv {

// With --live the output takes ANSI control sequences; with --encoding gbk,
// UTF-8.
void PrepareConsole(const RecvOptions& options);

}  // namespace pelmora::recv

#endif  // PELMORA_TOOLS_RECV_CONSOLE_H_

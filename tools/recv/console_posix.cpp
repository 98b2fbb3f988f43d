// Terminals on these systems take ANSI control sequences and UTF-8 as they
// are.
#include "console.h"

namespace pelmora::recv {

void PrepareConsole(const RecvOptions&) {}

}  // namespace pelmora::recv

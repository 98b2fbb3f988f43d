// The receiver's settings, from its command line.
#ifndef PELMORA_TOOLS_RECV_RECV_OPTIONS_H_
#define PELMORA_TOOLS_RECV_RECV_OPTIONS_H_

#include <cstdint>
#include <string>

#include "code_page.h"

namespace pelmora::recv {

struct RecvOptions {
  std::string bindAddress = "127.0.0.1";
  std::uint16_t port = 7000;
  bool json = false;
  bool quiet = false;
  bool live = false;
  wire::TextEncoding encoding = wire::TextEncoding::kBytes;
  std::uint64_t count = 0;      // 0: no limit
  std::int64_t idleExitMs = 0;  // 0: never
  std::int64_t durationMs = 0;  // 0: no limit
  std::string mirrorPath;
  std::string pcapPath;
};

extern const char kRecvUsage[];

// False when the receiver should not run: after --help (`exitStatus` 0), or
// for a bad command line (2, with the reason on stderr).
bool ParseRecvOptions(int argc, char** argv, RecvOptions* options,
                      int* exitStatus);

}  // namespace pelmora::recv

#endif  // PELMORA_TOOLS_RECV_RECV_OPTIONS_H_

// pelmora-cmd's settings, from its command line.
#ifndef PELMORA_TOOLS_CMD_CMD_OPTIONS_H_
#define PELMORA_TOOLS_CMD_CMD_OPTIONS_H_

#include <cstdint>
#include <optional>
#include <string>

#include "command_signing.h"
#include "endpoint.h"

namespace pelmora::cmd {

struct CmdOptions {
  wire::Mac mac{};
  std::string keyFile;
  // The server's address and port, which the station sends to.
  std::string bindAddress = "127.0.0.1";
  std::uint16_t port = 7000;
  int waitSeconds = 30;
  // The station's address; without it, taken from its next datagram.
  std::optional<wire::Endpoint> station;
  // Where the sequences are kept, shared with a gateway of the same user:
  // given, or the default state folder.
  std::string stateDirectory;
  // How long the command may act after it is signed, on the station's
  // clock.
  long validityMs = 5000;
  // A write of `name` and `value`, or else a snapshot request.
  bool write = false;
  std::string name;
  std::string value;
};

extern const char kCmdUsage[];

// False when the tool should not run: after --help (`exitStatus` 0), or for
// a bad command line (2, with the reason on stderr).
bool ParseCmdOptions(int argc, char** argv, CmdOptions* options,
                     int* exitStatus);

}  // namespace pelmora::cmd

#endif  // PELMORA_TOOLS_CMD_CMD_OPTIONS_H_

#include "cmd_options.h"

#include <cstdio>
#include <string_view>
#include <vector>

#include "datagram.h"
#include "sequence_file.h"
#include "tool_options.h"

namespace pelmora::cmd {

const char kCmdUsage[] =
    "usage: pelmora-cmd --mac MAC --key-file FILE [options] write NAME VALUE\n"
    "       pelmora-cmd --mac MAC --key-file FILE [options] snapshot\n"
    "\n"
    "Sends one command to the station MAC, signed under its key, and prints\n"
    "each reply. The station takes commands only from the server it sends\n"
    "to: this tool binds that port itself (stop the gateway or receiver on\n"
    "it first).\n"
    "\n"
    "  --key-file FILE  'MAC KEY' lines, as the gateway's --keys file\n"
    "  --bind ADDR      IPv4 address of the server (default 127.0.0.1)\n"
    "  --port N         the server port the station sends to (default 7000)\n"
    "  --to ADDR:PORT   the station's address; without it, taken from the\n"
    "                   station's next datagram\n"
    "  --wait SECONDS   how long to wait for that datagram (default 30)\n"
    "  --validity MS    how long the command may act after it is\n"
    "                   signed, on the station's clock (default 5000)\n"
    "  --state-dir DIR  where the sequences are kept, as the gateway's\n"
    "                   (default $STATE_DIRECTORY, else\n"
    "                   $XDG_STATE_HOME/pelmora, else\n"
    "                   ~/.local/state/pelmora)\n"
    "  --help           this text\n"
    "\n"
    "Exit status: 0 when the station says delivered (a write: after the\n"
    "host's callback returned; a snapshot: sent), 1 when it refused or did\n"
    "not answer, 2 for a bad command line or key file.\n";

namespace {

// One setting by its key, the command's words under the empty key; false
// with the reason when key or value is bad.
bool Apply(std::string_view key, std::string_view value, CmdOptions* options,
           std::vector<std::string>* words, std::string* error) {
  bool valid = true;
  if (key.empty()) {
    words->emplace_back(value);
  } else if (key == "mac") {
    valid = wire::ParseMacText(value, &options->mac);
  } else if (key == "key-file") {
    options->keyFile = value;
  } else if (key == "bind") {
    options->bindAddress = value;
  } else if (key == "port") {
    valid = wire::ParsePort(value, wire::PortZero::kPicksOne, &options->port);
  } else if (key == "wait") {
    valid = wire::ParseNumber(value, 1, 86400, &options->waitSeconds);
  } else if (key == "validity") {
    valid = wire::ParseNumber(value, 100L, 60000L, &options->validityMs);
  } else if (key == "state-dir") {
    valid = !value.empty();
    options->stateDirectory = value;
  } else if (key == "to") {
    wire::Endpoint station;
    valid = wire::ParseEndpoint(value, wire::PortZero::kRefused, &station);
    options->station = station;
  } else {
    *error = "unknown option --" + std::string(key);
    return false;
  }
  if (!valid) *error = wire::BadValue(key, value);
  return valid;
}

bool Complain(const char* complaint) {
  std::fprintf(stderr, "pelmora-cmd: %s\n%s", complaint, kCmdUsage);
  return false;
}

}  // namespace

bool ParseCmdOptions(int argc, char** argv, CmdOptions* options,
                     int* exitStatus) {
  std::vector<std::string> words;
  bool macGiven = false;
  if (!wire::ParseToolOptions(
          {"pelmora-cmd", kCmdUsage, {}, false, true}, argc, argv,
          [options, &words, &macGiven](std::string_view key,
                                       std::string_view value,
                                       std::string* error) {
            macGiven = macGiven || key == "mac";
            return Apply(key, value, options, &words, error);
          },
          exitStatus)) {
    return false;
  }
  *exitStatus = 2;
  options->write = words.size() == 3 && words[0] == "write";
  if (!options->write && !(words.size() == 1 && words[0] == "snapshot"))
    return Complain("say 'write NAME VALUE' or 'snapshot'");
  if (!macGiven) return Complain("--mac needs a MAC");
  if (options->keyFile.empty()) return Complain("--key-file needs a file");
  if (options->write) {
    options->name = words[1];
    options->value = words[2];
  }
  if (options->stateDirectory.empty()) {
    std::string error;
    options->stateDirectory = wire::DefaultStateDirectory(&error);
    if (options->stateDirectory.empty()) return Complain(error.c_str());
  }
  return true;
}

}  // namespace pelmora::cmd

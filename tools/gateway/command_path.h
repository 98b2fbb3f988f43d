// One way in for a write, whoever asks for it: a write topic of the pelmora/
// tree, a Sparkplug DCMD, the operator's page. Each source pushes its writes
// here, on the main thread, and the same signed commands carry them; what
// becomes of each comes back as a command outcome, the same for all.
#ifndef PELMORA_TOOLS_GATEWAY_COMMAND_PATH_H_
#define PELMORA_TOOLS_GATEWAY_COMMAND_PATH_H_

#include <string>
#include <vector>

#include "moment.h"
#include "station_commands.h"

namespace pelmora::gateway {

// All calls on the main loop's thread.
class CommandPath {
 public:
  // `commands` outlives the path.
  explicit CommandPath(wire::StationCommands& commands);

  // Whether a write to `mac` can be sent at all (its key is held): a source
  // that refuses in words of its own asks first.
  bool Keyed(const std::string& mac) const;
  // A write of `value` into point `name` of station `mac` (host texts);
  // `id` names it in its outcome.
  void Write(const std::string& mac, std::string name, std::string value,
             std::string id);
  // A write refused before it could be read (its payload): its outcome goes
  // the way of every other.
  void Refuse(const std::string& mac, std::string name, std::string id,
              std::string reason, const wire::Moment& now);

  // The outcomes of the writes refused here since the last call, appended
  // to `out` and taken away.
  void TakeRefused(std::vector<wire::CommandOutcome>* out);

 private:
  wire::StationCommands& commands_;
  std::vector<wire::CommandOutcome> refused_;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_COMMAND_PATH_H_

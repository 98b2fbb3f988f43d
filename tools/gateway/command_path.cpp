#include "command_path.h"

#include <utility>

namespace pelmora::gateway {

CommandPath::CommandPath(wire::StationCommands& commands)
    : commands_(commands) {}

bool CommandPath::Keyed(const std::string& mac) const {
  return commands_.HasKey(mac);
}

void CommandPath::Write(const std::string& mac, std::string name,
                        std::string value, std::string id) {
  commands_.Write(mac, std::move(name), std::move(value), std::move(id));
}

void CommandPath::Refuse(const std::string& mac, std::string name,
                         std::string id, std::string reason,
                         const wire::Moment& now) {
  refused_.push_back({std::move(id), mac, false, std::move(name),
                      wire::CommandState::kRefused, std::move(reason),
                      now.wall});
}

void CommandPath::TakeRefused(std::vector<wire::CommandOutcome>* out) {
  for (wire::CommandOutcome& outcome : refused_)
    out->push_back(std::move(outcome));
  refused_.clear();
}

}  // namespace pelmora::gateway

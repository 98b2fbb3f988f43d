#include "snapshot_requests.h"

namespace pelmora::gateway {
namespace {

// Beyond the settle time, what a snapshot said to be sent gets to end here:
// the loop's turns and the datagrams' way.
constexpr std::chrono::seconds kEndMargin{1};

}  // namespace

SnapshotRequests::SnapshotRequests(Options options,
                                   wire::StationCommands& commands,
                                   const StationTable& table)
    : options_(options), commands_(commands), table_(table) {}

void SnapshotRequests::Want(const std::string& mac) {
  if (!commands_.HasKey(mac) || underWay_.count(mac) != 0 ||
      !waitingSet_.insert(mac).second) {
    return;
  }
  waiting_.push_back(mac);
}

void SnapshotRequests::Outcome(const wire::CommandOutcome& outcome,
                               const Moment& now) {
  if (!outcome.snapshot) return;
  const auto found = underWay_.find(outcome.mac);
  if (found == underWay_.end()) return;
  if (outcome.state == wire::CommandState::kDelivered) {
    found->second = now.steady;
  } else if (outcome.state != wire::CommandState::kQueued) {
    underWay_.erase(found);
  }
}

void SnapshotRequests::Tick(const Moment& now) {
  // A snapshot said to be sent that never ended here: all of it was lost,
  // or the station has no point to send. Either way it is over.
  for (auto it = underWay_.begin(); it != underWay_.end();) {
    if (it->second && now.steady - *it->second >= options_.settle + kEndMargin)
      it = underWay_.erase(it);
    else
      ++it;
  }
  // A snapshot asked for while datagrams are being lost would be lost in
  // part as well, and adds to the burst: the next waits for a quiet spell.
  if (table_.LossesRecent(now)) return;
  while (underWay_.size() < options_.mostUnderWay && !waiting_.empty()) {
    const std::string mac = std::move(waiting_.front());
    waiting_.pop_front();
    // Left behind by a station that fell silent meanwhile.
    if (waitingSet_.erase(mac) == 0) continue;
    // It may have sent a complete one meanwhile, of its own accord.
    if (table_.IsComplete(mac)) continue;
    if (commands_.RequestSnapshot(mac)) underWay_.emplace(mac, std::nullopt);
  }
}

void SnapshotRequests::SnapshotEnded(const std::string& mac,
                                     const std::vector<std::string>&,
                                     bool complete, const Moment&) {
  underWay_.erase(mac);
  if (!complete) Want(mac);
}

void SnapshotRequests::TreeInDoubt(const std::string& mac, const Moment&) {
  Want(mac);
}

void SnapshotRequests::StationSilent(const std::string& mac, const Moment&) {
  waitingSet_.erase(mac);
}

}  // namespace pelmora::gateway

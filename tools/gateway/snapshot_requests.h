// The gateway's own snapshot requests to the stations whose keys it holds,
// paced: every station's snapshot at once is the burst that overflows the
// receive buffer, so at most a few requests are under way at a time, and
// the next goes when one ends: its station's snapshot ended here (complete
// or not), the command path gave up on it, or the station said the
// snapshot was sent and none ended within the settle time and a second.
// A station whose snapshot ends incomplete, asked for or not, is asked
// again, behind those already waiting. While datagrams are being lost no
// request goes: its snapshot would be incomplete too, and the burst larger.
//
// A pure part: time comes in as an argument; the requests go into the
// command path, which signs, sends and resends them.
#ifndef PELMORA_TOOLS_GATEWAY_SNAPSHOT_REQUESTS_H_
#define PELMORA_TOOLS_GATEWAY_SNAPSHOT_REQUESTS_H_

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "station_commands.h"
#include "station_table.h"

namespace pelmora::gateway {

class SnapshotRequests : public StationObserver {
 public:
  struct Options {
    std::size_t mostUnderWay = 32;
    std::chrono::milliseconds settle{std::chrono::seconds(2)};
  };
  // `commands` and `table` outlive it.
  SnapshotRequests(Options options, wire::StationCommands& commands,
                   const StationTable& table);

  // `mac` wants a snapshot: asked for in its turn, unless its tree is
  // complete by then. Nothing for a station without a key.
  void Want(const std::string& mac);
  // What became of a command: the end of a request, when it is one.
  void Outcome(const wire::CommandOutcome& outcome, const Moment& now);
  // Asks the stations whose turn has come.
  void Tick(const Moment& now);

  std::size_t waiting() const { return waitingSet_.size(); }
  std::size_t under_way() const { return underWay_.size(); }

  // StationObserver: a snapshot that ends ends its request; an incomplete
  // one is asked for again. A station that falls silent has no address
  // for a request to go to.
  void SnapshotEnded(const std::string& mac,
                     const std::vector<std::string>& cleared, bool complete,
                     const Moment& now) override;
  void TreeInDoubt(const std::string& mac, const Moment& now) override;
  void StationSilent(const std::string& mac, const Moment& now) override;

 private:
  Options options_;
  wire::StationCommands& commands_;
  const StationTable& table_;
  // In their turn; a station left in the line after it fell silent is
  // passed over, as the set no longer holds it.
  std::deque<std::string> waiting_;
  std::set<std::string> waitingSet_;
  // Each request under way, with when the station said its snapshot was
  // sent, once it did.
  std::map<std::string, std::optional<std::chrono::steady_clock::time_point>>
      underWay_;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_SNAPSHOT_REQUESTS_H_

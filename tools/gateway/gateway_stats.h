// The gateway's counters: what arrived per kind, what was malformed and
// why, and the state of the broker link, reported every interval as a line
// and as a retained JSON message.
#ifndef PELMORA_TOOLS_GATEWAY_GATEWAY_STATS_H_
#define PELMORA_TOOLS_GATEWAY_GATEWAY_STATS_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "datagram.h"
#include "station_commands.h"
#include "station_table.h"

namespace pelmora::gateway {

class GatewayStats {
 public:
  void CountDatagram(const wire::Datagram& datagram);
  void CountMalformed(wire::Malformed reason);
  void CountRefused(Refusal reason);
  // A reply to a command: taken, or ignored for its reason.
  void CountReply(wire::ReplyVerdict verdict);
  // What a command came to, as told to whoever asked for it.
  void CountOutcome(wire::CommandState state);

  struct Link {
    std::size_t stations = 0;
    // Stations whose last snapshot here was not complete, or who sent none.
    std::size_t stationsIncomplete = 0;
    std::size_t backlog = 0;
    std::uint64_t dropped = 0;  // events, from the full queue
    // Datagrams the socket had no room for; nothing where not counted.
    std::optional<std::uint64_t> kernelDrops;
    std::uint64_t snapshotsIncomplete = 0;
    std::uint64_t pointsCleared = 0;
    bool connected = false;
    std::string reason;  // why not, when not connected
    // Sparkplug mode only: commands and snapshot requests refused, a total.
    std::optional<std::uint64_t> commandsRefused;
  };
  // The report of the interval that ends now, `seconds` long, as a line for
  // stdout and a JSON object; the per-second rates start again from zero,
  // the malformed and refused counts, `dropped`, `kernel_drops`,
  // `snapshots_incomplete` and `points_cleared` are totals.
  void Report(double seconds, const Link& link, std::string* line,
              std::string* json);

  // A count under the name the line and the JSON give it (static text).
  struct Count {
    const char* name = "";
    std::uint64_t value = 0;
  };
  // Every count since the start, by kind, reason, verdict or state.
  struct Totals {
    std::array<Count, 3> datagrams;
    std::array<Count, 3> records;
    std::array<Count, wire::kMalformedKinds> malformed;
    std::array<Count, kRefusalKinds - 1> refused;
    std::array<Count, wire::kReplyVerdicts> replies;
    std::array<Count, 4> outcomes;
  };
  Totals totals() const;

 private:
  struct PerKind {
    std::uint64_t datagrams = 0;
    std::uint64_t records = 0;
  };
  // Item, event, snapshot: in this interval, and since the start.
  std::array<PerKind, 3> interval_{};
  std::array<PerKind, 3> total_{};
  std::array<std::uint64_t, wire::kMalformedKinds> malformed_{};
  std::array<std::uint64_t, kRefusalKinds> refused_{};
  // By verdict: taken, or ignored and why.
  std::array<std::uint64_t, wire::kReplyVerdicts> replies_{};
  // Queued, delivered, refused, unanswered.
  std::array<std::uint64_t, 4> outcomes_{};
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_GATEWAY_STATS_H_

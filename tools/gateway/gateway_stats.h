// The gateway's counters: what arrived per kind, what was malformed and
// why, and the state of the broker link, reported every interval as a line
// and as a retained JSON message.
#ifndef PELMORA_TOOLS_GATEWAY_GATEWAY_STATS_H_
#define PELMORA_TOOLS_GATEWAY_GATEWAY_STATS_H_

#include <array>
#include <cstdint>
#include <string>

#include "datagram.h"

namespace pelmora::gateway {

class GatewayStats {
 public:
  void CountDatagram(const wire::Datagram& datagram);
  void CountMalformed(wire::Malformed reason);

  struct Link {
    std::size_t stations = 0;
    std::size_t backlog = 0;
    std::uint64_t dropped = 0;
    bool connected = false;
  };
  // The report of the interval that ends now, `seconds` long, as a line for
  // stdout and a JSON object; the per-second rates start again from zero,
  // the malformed counts and `dropped` are totals.
  void Report(double seconds, const Link& link, std::string* line,
              std::string* json);

 private:
  struct PerKind {
    std::uint64_t datagrams = 0;
    std::uint64_t records = 0;
  };
  // Item, event, snapshot.
  std::array<PerKind, 3> interval_{};
  std::array<std::uint64_t, wire::kMalformedKinds> malformed_{};
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_GATEWAY_STATS_H_

// What the gateway tells the site on stderr about the trouble it sees:
// datagrams refused (per reason), datagrams the system dropped, snapshots
// that arrived incomplete, points cleared. Each kind gets a line at once
// when it first happens after a quiet spell, then at most one per
// interval, summing up what came meanwhile with a count and the first
// stations by name; the interval doubles while the trouble goes on, up to
// a minute, and is a second again once one has passed without any. So a
// flood of datagrams from 20,000 new MACs writes a handful of lines, and
// every loss is said once.
//
// A pure part, as the station table is: time comes in as an argument, the
// lines go out; the gateway prints them.
#ifndef PELMORA_TOOLS_GATEWAY_GATEWAY_LOG_H_
#define PELMORA_TOOLS_GATEWAY_GATEWAY_LOG_H_

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "station_table.h"
#include "udp_receiver.h"

namespace pelmora::gateway {

class GatewayLog : public StationObserver {
 public:
  // Whether the gateway holds a station's key, and so asks it again for a
  // snapshot that arrived incomplete.
  using HasKey = std::function<bool(const std::string& mac)>;
  explicit GatewayLog(HasKey hasKey);

  void Refused(Refusal reason, const std::string& mac,
               const wire::Endpoint& from, const Moment& now);
  // The system dropped `more` datagrams, `total` since the start.
  void Dropped(std::uint64_t more, std::uint64_t total, const Moment& now);
  // StationObserver: snapshots that arrived incomplete, points cleared.
  void SnapshotEnded(const std::string& mac,
                     const std::vector<std::string>& cleared, bool complete,
                     const Moment& now) override;

  // The lines due at `now` (with `all`, every one waiting, as for a gateway
  // that stops), without the tool's prefix, appended to `lines`.
  void Take(const Moment& now, std::vector<std::string>* lines,
            bool all = false);

 private:
  enum Kind {
    kRefusedUnknown,
    kRefusedAddress,
    kRefusedTooMany,
    kDropped,
    kIncomplete,
    kCleared,
    kKinds
  };
  // What waits to be said of one kind, and when it may be.
  struct Pending {
    std::chrono::steady_clock::time_point nextLine{};
    std::chrono::milliseconds interval{0};
    std::chrono::steady_clock::time_point since{};
    std::uint64_t events = 0;
    // Datagrams dropped, points cleared, snapshots asked for again.
    std::uint64_t amount = 0;
    std::uint64_t total = 0;
    // The first stations, each with what concerns it; and the last one.
    std::vector<std::string> named;
    std::string last;
  };

  Pending& Note(Kind kind, const Moment& now);
  std::string Line(Kind kind, const Pending& pending, const Moment& now) const;

  HasKey hasKey_;
  std::array<Pending, kKinds> pending_{};
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_GATEWAY_LOG_H_

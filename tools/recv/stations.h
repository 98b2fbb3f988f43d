// What a receiver run has seen of each station: a mirror and tallies per
// station MAC, where each station last sent from, and the malformed
// datagrams of each sender; how texts are shown; and the live table drawn
// from all of it.
#ifndef PELMORA_TOOLS_RECV_STATIONS_H_
#define PELMORA_TOOLS_RECV_STATIONS_H_

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "code_page.h"
#include "datagram.h"
#include "point_mirror.h"
#include "udp_receiver.h"

namespace pelmora::recv {

using WallClock = std::chrono::system_clock;
using Mac = std::array<std::uint8_t, 6>;

// The text for a line of terminal output. kBytes is Escape(); kGbk turns
// GBK characters into UTF-8 and still writes control bytes, the backslash
// and every byte that starts no GBK character as \xNN, so the bytes as sent
// can always be told from the line.
std::string ShowText(std::string_view text, wire::TextEncoding encoding);

struct Station {
  wire::PointMirror mirror;
  wire::Endpoint sender;   // where its latest datagram came from
  std::string lastChange;  // the latest item record, as sent
  std::optional<WallClock::time_point> lastChangeAt;
  std::optional<WallClock::time_point> lastSnapshotAt;
};

class StationSet {
 public:
  // A well-formed datagram from `from`, arrived `at`.
  void Apply(const wire::Datagram& datagram, const wire::Endpoint& from,
             WallClock::time_point at);
  // A malformed datagram cannot be trusted for its MAC, so it is counted
  // against the address it came from.
  void CountMalformed(const wire::Endpoint& from);

  const std::map<Mac, Station>& stations() const { return stations_; }
  std::uint64_t malformed() const { return malformed_; }
  // Malformed datagrams from the addresses this station was the last to send
  // a well-formed datagram from; those from other addresses are no
  // station's.
  std::uint64_t MalformedOf(const Mac& mac) const;

 private:
  static std::uint64_t SenderKey(const wire::Endpoint& from) {
    return std::uint64_t{from.address} << 16 | from.port;
  }

  std::map<Mac, Station> stations_;
  std::map<std::uint64_t, std::uint64_t> malformedBySender_;
  std::map<std::uint64_t, Mac> stationBySender_;
  std::uint64_t malformed_ = 0;
};

// The live table at `now`: a title line, a header, two lines per station
// and, when some malformed datagrams are no station's, a line of those;
// every line fits 80 columns. Plain text, one '\n' after each line: the
// caller adds what the terminal needs to redraw in place.
std::string RenderLiveTable(const StationSet& set, WallClock::time_point now,
                            wire::TextEncoding encoding);

}  // namespace pelmora::recv

#endif  // PELMORA_TOOLS_RECV_STATIONS_H_

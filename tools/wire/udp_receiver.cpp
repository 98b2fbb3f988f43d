// The portable half of the receiver: the drop count that does not wrap.
#include "udp_receiver.h"

namespace pelmora::wire {

std::uint64_t UdpReceiver::Extend(std::uint32_t raw) {
  // A reading is at most half the counter's range from the latest: behind
  // it (a datagram queued before the last look) or ahead of it.
  const std::uint32_t ahead = raw - latestRaw_;
  if (ahead < 0x80000000u) {
    latestRaw_ = raw;
    latest_ += ahead;
    return latest_;
  }
  return latest_ - static_cast<std::uint32_t>(latestRaw_ - raw);
}

}  // namespace pelmora::wire

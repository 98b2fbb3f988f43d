// The portable half of the receiver: how an endpoint is written, and the
// drop count that does not wrap.
#include "udp_receiver.h"

#include <cstdio>

namespace pelmora::wire {

std::string EndpointText(const Endpoint& endpoint) {
  char text[24];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u",
                static_cast<unsigned>(endpoint.address >> 24),
                static_cast<unsigned>(endpoint.address >> 16 & 0xFF),
                static_cast<unsigned>(endpoint.address >> 8 & 0xFF),
                static_cast<unsigned>(endpoint.address & 0xFF),
                static_cast<unsigned>(endpoint.port));
  return text;
}

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

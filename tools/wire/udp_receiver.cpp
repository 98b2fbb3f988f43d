// The portable half of the receiver: how an endpoint is written.
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

}  // namespace pelmora::wire

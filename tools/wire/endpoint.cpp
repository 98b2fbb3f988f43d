#include "endpoint.h"

#include <cstdio>

#include "tool_options.h"

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

bool ParseIpv4(std::string_view text, std::uint32_t* address) {
  std::uint32_t value = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (text.empty() || text.front() != '.') return false;
      text.remove_prefix(1);
    }
    const std::size_t digits = text.find('.');
    const std::string_view number = text.substr(0, digits);
    std::uint32_t byte = 0;
    if (number.size() > 3 || (number.size() > 1 && number.front() == '0') ||
        !ParseNumber<std::uint32_t>(number, 0, 255, &byte))
      return false;
    value = value << 8 | byte;
    text.remove_prefix(number.size());
  }
  if (!text.empty()) return false;
  *address = value;
  return true;
}

bool ParsePort(std::string_view text, PortZero zero, std::uint16_t* port) {
  return ParseNumber<std::uint16_t>(text, zero == PortZero::kPicksOne ? 0 : 1,
                                    65535, port);
}

bool ParseEndpoint(std::string_view text, PortZero zero, Endpoint* out) {
  const std::size_t colon = text.find(':');
  Endpoint endpoint;
  if (colon == std::string_view::npos ||
      !ParseIpv4(text.substr(0, colon), &endpoint.address) ||
      !ParsePort(text.substr(colon + 1), zero, &endpoint.port))
    return false;
  *out = endpoint;
  return true;
}

}  // namespace pelmora::wire

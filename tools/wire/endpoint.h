// IPv4 addresses and UDP/TCP ports as the tools take them from their
// command lines and config files, and write them back.
//
// One reading on every system, so that an address means the same to the
// receiver on Windows as to the gateway on Linux: four decimal numbers from
// 0 to 255 apart by dots, each without leading zeros ("010" is octal to
// some readers, so it is refused rather than guessed at), and nothing
// around them. No names: the tools listen and trust by address.
#ifndef PELMORA_TOOLS_WIRE_ENDPOINT_H_
#define PELMORA_TOOLS_WIRE_ENDPOINT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace pelmora::wire {

// An IPv4 address and a port, both in host byte order.
struct Endpoint {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
};

// "127.0.0.1:7000".
std::string EndpointText(const Endpoint& endpoint);

// Dotted IPv4, all of the text.
bool ParseIpv4(std::string_view text, std::uint32_t* address);

// Whether a port of 0 is taken, meaning "pick a free one", where the tool
// listens; a port to send to or to name is never 0.
enum class PortZero { kRefused, kPicksOne };

// Decimal digits only, 1 to 65535, or 0 where `zero` takes it.
bool ParsePort(std::string_view text, PortZero zero, std::uint16_t* port);

// "ADDR:PORT".
bool ParseEndpoint(std::string_view text, PortZero zero, Endpoint* out);

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_ENDPOINT_H_

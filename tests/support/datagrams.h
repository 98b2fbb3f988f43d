// Reading datagrams back in tests.
#ifndef PELMORA_TESTS_SUPPORT_DATAGRAMS_H_
#define PELMORA_TESTS_SUPPORT_DATAGRAMS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "transport/udp_link.h"

namespace pelmora::testing {

using Bytes = std::vector<std::uint8_t>;

Bytes HexBytes(const std::string& hex);  // "FF 01 ..." -> bytes
std::uint8_t KindOf(const Bytes& datagram);
// The record texts of a well-formed datagram.
std::vector<std::string> RecordsOf(const Bytes& datagram);
// Every datagram waiting in the link's queue, taken out.
std::vector<Bytes> TakeQueued(UdpLink& link);

}  // namespace pelmora::testing

#endif  // PELMORA_TESTS_SUPPORT_DATAGRAMS_H_

// Reading datagrams back in tests.
#ifndef PELMORA_TESTS_SUPPORT_DATAGRAMS_H_
#define PELMORA_TESTS_SUPPORT_DATAGRAMS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "support/datagram_bytes.h"
#include "transport/udp_link.h"

namespace pelmora::testing {

std::uint8_t KindOf(const Bytes& datagram);
// The record texts of a well-formed datagram.
std::vector<std::string> RecordsOf(const Bytes& datagram);
// Every datagram waiting in the link's queue, taken out.
std::vector<Bytes> TakeQueued(UdpLink& link);

}  // namespace pelmora::testing

#endif  // PELMORA_TESTS_SUPPORT_DATAGRAMS_H_

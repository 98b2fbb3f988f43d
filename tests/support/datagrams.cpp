#include "support/datagrams.h"

namespace pelmora::testing {

std::uint8_t KindOf(const Bytes& datagram) { return datagram.at(8); }

std::vector<std::string> RecordsOf(const Bytes& datagram) {
  std::vector<std::string> records;
  std::size_t at = 32;
  while (at + 2 <= datagram.size()) {
    std::size_t n = datagram[at] | (datagram[at + 1] << 8);
    records.emplace_back(datagram.begin() + at + 2,
                         datagram.begin() + at + 2 + n);
    at += 2 + n;
  }
  return records;
}

std::vector<Bytes> TakeQueued(UdpLink& link) {
  std::vector<Bytes> out;
  while (auto d = link.TakeNext())
    out.emplace_back(d->bytes.get(), d->bytes.get() + d->length);
  return out;
}

}  // namespace pelmora::testing

// The receiver's datagram reader: a datagram it accepts must be exactly the
// bytes that what it read encodes to, so that it neither drops nor invents a
// byte; a datagram it refuses comes with the reason. The encoder is the
// receiver tests', written from the layout apart from the reader.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "datagram.h"
#include "support/datagram_bytes.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "wire_datagram_fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  pelmora::wire::Datagram datagram;
  std::string error;
  if (!pelmora::wire::ParseDatagram(data, size, &datagram, &error)) {
    if (error.empty()) Fail("refused without a reason");
    return 0;
  }
  if (pelmora::testing::BuildDatagram(datagram.kind, datagram.records,
                                      datagram.mac) !=
      pelmora::testing::Bytes(data, data + size))
    Fail("what was read encodes to other bytes than the datagram");
  return 0;
}

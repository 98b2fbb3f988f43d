// The server's reader of signed commands and replies: a datagram of kind 03
// or 04 it refuses comes with the reason; a command it accepts is
// exactly the bytes that the server's own sealing makes of what was read,
// the signature aside, so that the reader and the writer agree on every
// byte.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "command_signing.h"
#include "datagram.h"
#include "signed_datagram.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "signed_datagram_fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  namespace wire = pelmora::wire;
  wire::SignedDatagram read;
  std::string error;
  if (!wire::ParseSignedDatagram(data, size, &read, &error)) {
    // Shorter than a header, it is no command or reply to speak of.
    if (size >= wire::kHeaderSize &&
        (data[8] == wire::kKindCommand || data[8] == wire::kKindReply) &&
        error.empty())
      Fail("refused without a reason");
    return 0;
  }
  wire::DescribeSigned(read);
  const bool known = read.command == wire::kCommandWrite ||
                     read.command == wire::kCommandSnapshot ||
                     read.command == wire::kCommandFence;
  if (read.kind != wire::kKindCommand || !known) return 0;
  if (read.command != wire::kCommandWrite && size != wire::kMinCommandSize)
    Fail("a snapshot or fence with a body was accepted");
  std::vector<std::uint8_t> sealed;
  if (!wire::SealCommand(wire::StationKey{}, read.mac, read.nonce,
                         read.sequence, read.notAfter, read.command, read.name,
                         read.value, &sealed))
    Fail("an accepted command does not seal");
  if (sealed.size() != size ||
      !std::equal(sealed.begin(), sealed.end() - wire::kSignatureSize, data))
    Fail("what was read seals to other bytes than the datagram");
  return 0;
}

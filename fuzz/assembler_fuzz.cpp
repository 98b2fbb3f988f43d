// The datagram assembler driven by a random sequence of appends and
// flushes of both kinds: no datagram is over 1023 bytes, each one's
// payload length is its size less the header, and every record of at most
// 989 bytes arrives exactly once and in order, while longer ones are
// refused.
//
// Input: a sequence of operations of three bytes each. The first byte's
// low bit picks the kind (item, event), its next bit an append or a flush;
// the other two give an append's record length (0 to 1199). Each record's
// text is a number that names it, padded to its length.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/service_log.h"
#include "config/settings.h"
#include "platform/env.h"
#include "transport/assembler.h"
#include "transport/udp_link.h"

namespace {

using pelmora::Assembler;
using pelmora::FlushMode;
using pelmora::RecordKind;

void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "assembler_fuzz: %s\n", what);
  std::abort();
}

std::string Record(std::size_t serial, std::size_t length) {
  std::string text = std::to_string(serial) + ":";
  text.resize(length < text.size() ? text.size() : length, 'r');
  return text;
}

// The records of one datagram, after checking its layout.
void ReadDatagram(const std::uint8_t* bytes, std::size_t size,
                  std::vector<std::string>* records) {
  Require(size > 32 && size <= 1023, "a datagram's size is 33 to 1023");
  const std::size_t payload = bytes[12] | bytes[13] << 8 | bytes[14] << 16 |
                              static_cast<std::size_t>(bytes[15]) << 24;
  Require(payload == size - 32, "the payload length is the size less 32");
  Require(bytes[8] == 0x01 || bytes[8] == 0x02, "the kind is item or event");
  for (std::size_t at = 32; at < size;) {
    Require(at + 2 <= size, "a record's length fits");
    const std::size_t n = bytes[at] | bytes[at + 1] << 8;
    Require(at + 2 + n <= size, "a record fits its datagram");
    records->emplace_back(reinterpret_cast<const char*>(bytes + at + 2), n);
    at += 2 + n;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  pelmora::Env& env = *pelmora::Env::Default();
  const pelmora::ServiceLog log(env, "/nonexistent");
  pelmora::Settings settings(env, log);
  settings.SetServerAddress("127.0.0.1");
  settings.SetServerPort(9);
  // A stop already signalled ends every pacing pause at once.
  pelmora::ManualEvent stop;
  stop.Set();
  pelmora::UdpLink link(env, settings, stop);
  pelmora::UdpLink::OpenStep failedStep;
  pelmora::OsError error;
  if (!link.Open(&failedStep, &error)) return 0;
  const pelmora::DatagramHeader header;
  Assembler assembler(env, link, header, stop);

  std::vector<std::string> expected;
  std::vector<std::string> arrived;
  auto takeQueued = [&] {
    while (auto datagram = link.TakeNext())
      ReadDatagram(datagram->bytes.get(), datagram->length, &arrived);
  };
  for (std::size_t at = 0; at + 3 <= size; at += 3) {
    const RecordKind kind =
        data[at] & 1 ? RecordKind::kEvent : RecordKind::kItem;
    if (data[at] & 2) {
      assembler.AppendRecord({}, kind, FlushMode::kFlush);
    } else {
      const std::string text =
          Record(at / 3, (data[at + 1] | data[at + 2] << 8) % 1200);
      const bool taken = assembler.AppendRecord(text, kind, FlushMode::kAppend);
      Require(taken == (text.size() <= 989),
              "a record is taken exactly when it has at most 989 bytes");
      if (taken) expected.push_back(text);
    }
    takeQueued();
  }
  assembler.AppendRecord({}, RecordKind::kItem, FlushMode::kFlush);
  takeQueued();
  Require(arrived == expected, "every record arrives once, in order");
  return 0;
}

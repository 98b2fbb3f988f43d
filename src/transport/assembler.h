// The datagram assembler: packs the records of a retired bank into
// datagrams of at most 1023 bytes and hands each finished one to the link's
// queue. Used by the management thread only.
#ifndef PELMORA_TRANSPORT_ASSEMBLER_H_
#define PELMORA_TRANSPORT_ASSEMBLER_H_

#include <cstddef>
#include <string_view>

#include "config/service_log.h"
#include "platform/env.h"
#include "platform/manual_event.h"
#include "transport/datagram_format.h"
#include "transport/udp_link.h"

namespace pelmora {

enum class RecordKind { kItem, kEvent };
enum class FlushMode { kAppend, kFlush };

class Assembler {
 public:
  // `stop` cuts the pacing pause short.
  Assembler(Env& env, UdpLink& link, const DatagramHeader& header,
            const ManualEvent& stop)
      : env_(env), link_(link), header_(header), stop_(stop) {}

  // kAppend: adds the record, first finishing the datagram in progress if
  // the record does not fit behind it. kFlush: ignores `text` and finishes
  // the datagram in progress if it holds any record. A finished datagram
  // takes the kind of the call that finishes it and goes to the link's
  // queue, unless that kind is switched off or the link is closed. Every
  // tenth call pauses 50 ms, which paces the management thread; once the
  // stop is signalled the pause ends at once.
  // Returns false when the record is longer than any datagram can carry:
  // it is dropped whole, never cut, and reporting it is the caller's.
  bool AppendRecord(std::string_view text, RecordKind kind, FlushMode flush);

  // Starts the count of calls between pauses afresh.
  void ResetPacing() { callsSincePause_ = 0; }

 private:
  void Finish(RecordKind kind);

  Env& env_;
  UdpLink& link_;
  const DatagramHeader& header_;
  const ManualEvent& stop_;
  DatagramBuffer buffer_;
  int callsSincePause_ = 0;
};

// Logs that a record of `length` bytes starting with `text` was dropped.
void LogRecordTooLong(const ServiceLog& log, std::size_t length,
                      std::string_view text);

}  // namespace pelmora

#endif  // PELMORA_TRANSPORT_ASSEMBLER_H_

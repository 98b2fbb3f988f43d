// The full snapshot: every point of the host's first round, in first-seen
// order, with its latest value, sent straight on the socket.
#include <memory>

#include "service/link_service.h"

namespace pelmora {
namespace {
// Datagrams between two yields of the time slice; also how many are filled
// under one hold of the point table's locks before they are sent.
constexpr int kYieldEvery = 10;
constexpr std::size_t kPrefetchAhead = 6;
}  // namespace

int LinkService::SendSnapshot() {
  if (!(channel_.enableFlags & kEnableItems)) return 0;
  // One batch of buffers per run, reused for every batch.
  auto batch = std::make_unique<DatagramBuffer[]>(kYieldEvery);
  std::size_t next = 0;  // index into PointOrder
  int sentSinceYield = 0;
  for (;;) {
    // Fill up to a batch of datagrams with the table held whole, reading
    // each value as it stands, then send them with the locks released.
    int full = 0;
    bool walked = false;
    {
      WholeBuffer hold(stripes_, nullptr);
      if (pointOrder_.empty()) return 0;
      DatagramBuffer* buffer = &batch[0];
      buffer->Reset();
      for (;;) {
        if (next == pointOrder_.size()) {
          walked = true;
          break;
        }
        if (StopRequested()) return 1;
        const PointEntry* entry = pointOrder_[next];
        // Entries lie in sixteen stripes: ask for those a few points ahead.
        if (next + kPrefetchAhead < pointOrder_.size()) {
          const char* ahead =
              reinterpret_cast<const char*>(pointOrder_[next + kPrefetchAhead]);
          __builtin_prefetch(ahead);
          __builtin_prefetch(ahead + 64);
          __builtin_prefetch(ahead + 128);
        }
        const std::size_t n = entry->nameLength + 1 + entry->value.size();
        if (n > kMaxRecordText) {
          LogRecordTooLong(n, entry->name());
          ++next;
          continue;
        }
        if (!buffer->Fits(n)) {
          if (++full == kYieldEvery) break;
          buffer = &batch[full];
          buffer->Reset();
        }
        buffer->AppendPair(entry->name(), entry->value);
        ++next;
      }
    }
    for (int i = 0; i < full; ++i) {
      batch[i].Finish();
      if (SendWithTimeout(channel_.udpSocket, batch[i].bytes,
                          static_cast<int>(batch[i].length),
                          kSendTimeoutMs) < 0)
        return -1;
      if (++sentSinceYield == kYieldEvery) {
        env_->SleepMs(0);
        sentSinceYield = 0;
      }
    }
    if (!walked) continue;
    // The last, partly filled datagram goes without counting toward a yield.
    DatagramBuffer& last = batch[full];
    if (!last.HasRecords()) return 0;
    last.Finish();
    return SendWithTimeout(channel_.udpSocket, last.bytes,
                           static_cast<int>(last.length), kSendTimeoutMs) < 0
               ? -1
               : 0;
  }
}

}  // namespace pelmora

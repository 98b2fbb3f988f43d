#include "transport/snapshot.h"

#include <memory>
#include <vector>

#include "transport/assembler.h"

namespace pelmora {
namespace {
// Datagrams between two yields of the time slice; also how many are filled
// under one hold of the point table's locks before they are sent.
constexpr int kYieldEvery = 10;
}  // namespace

SnapshotResult SendSnapshot(const SnapshotParts& parts) {
  if (!(parts.link.enableFlags() & kEnableItems))
    return SnapshotResult::kComplete;
  // One batch of buffers per run, reused for every batch.
  auto batch = std::make_unique<DatagramBuffer[]>(kYieldEvery);
  std::vector<PointEntry*> tooLong;
  std::size_t next = 0;  // index into the points in first-seen order
  int sentSinceYield = 0;
  for (;;) {
    // Fill up to a batch of datagrams with the table held whole, reading
    // each value as it stands, then send them with the locks released.
    int full = 0;
    bool stopped = false;
    DatagramBuffer* buffer = &batch[0];
    buffer->Reset();
    const std::size_t end =
        parts.points.WalkPoints(next, [&](PointEntry& entry) {
          if (parts.stop.IsSet()) {
            stopped = true;
            return false;
          }
          const std::size_t n = entry.nameLength() + 1 + entry.value.size();
          if (n > kMaxRecordText) {
            tooLong.push_back(&entry);
            return true;
          }
          if (!buffer->Fits(n)) {
            if (++full == kYieldEvery) return false;
            buffer = &batch[full];
            buffer->Reset();
          }
          buffer->AppendPair(entry.name(), entry.value);
          return true;
        });
    // Reported only now: no file is written while the table is held.
    for (PointEntry* entry : tooLong) {
      if (entry->FirstTooLongReport())
        LogRecordTooLong(parts.log,
                         entry->nameLength() + 1 + entry->value.size(),
                         entry->name());
    }
    tooLong.clear();
    if (stopped) return SnapshotResult::kStopped;
    const bool walked = full < kYieldEvery;
    next = end;
    for (int i = 0; i < full; ++i) {
      batch[i].Finish(parts.header, kKindSnapshot);
      if (parts.link.SendWithTimeout(batch[i].bytes,
                                     static_cast<int>(batch[i].length)) < 0)
        return SnapshotResult::kSendFailed;
      if (++sentSinceYield == kYieldEvery) {
        parts.env.SleepMs(0);
        sentSinceYield = 0;
      }
    }
    if (!walked) continue;
    // The last, partly filled datagram goes without counting toward a yield.
    DatagramBuffer& last = batch[full];
    if (!last.HasRecords()) return SnapshotResult::kComplete;
    last.Finish(parts.header, kKindSnapshot);
    return parts.link.SendWithTimeout(last.bytes,
                                      static_cast<int>(last.length)) < 0
               ? SnapshotResult::kSendFailed
               : SnapshotResult::kComplete;
  }
}

}  // namespace pelmora

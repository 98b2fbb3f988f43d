// The full snapshot: every point of the host's first round, in first-seen
// order, with its latest value, sent straight on the socket.
#include "service/link_service.h"

namespace pelmora {
namespace {
constexpr int kYieldEvery = 10;
}  // namespace

int LinkService::SendSnapshot() {
  if (!(channel_.enableFlags & kEnableItems)) return 0;
  DatagramBuffer buffer;
  std::size_t next = 0;  // index into PointOrder
  int sentSinceYield = 0;
  for (;;) {
    // Fill one datagram under BufferLock, reading each value as it stands,
    // then send it with the lock released.
    bool full = false;
    {
      std::lock_guard<std::mutex> hold(BufferLock);
      if (next == 0 && pointOrder_.empty()) return 0;
      while (next < pointOrder_.size()) {
        if (StopRequested()) return 1;
        const PointEntry* entry = pointOrder_[next];
        const std::size_t n = entry->name.size() + 1 + entry->value.size();
        if (n > kMaxRecordText) {
          LogRecordTooLong(n, entry->name);
          ++next;
          continue;
        }
        if (!buffer.Fits(n)) {
          full = true;
          break;
        }
        buffer.AppendPair(entry->name, entry->value);
        ++next;
      }
    }
    if (!buffer.HasRecords()) return 0;
    buffer.Finish();
    if (SendWithTimeout(channel_.udpSocket, buffer.bytes,
                        static_cast<int>(buffer.length), kSendTimeoutMs) < 0)
      return -1;
    buffer.Reset();
    if (!full) return 0;
    if (++sentSinceYield == kYieldEvery) {
      env_->SleepMs(0);
      sentSinceYield = 0;
    }
  }
}

}  // namespace pelmora

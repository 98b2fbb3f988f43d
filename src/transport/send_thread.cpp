// The send thread: the full snapshot once discovery is complete, then the
// queued datagrams one by one.
#include "config/log_messages.h"
#include "service/link_service.h"

namespace pelmora {
namespace {
constexpr std::uint32_t kDiscoveryWaitStepMs = 100;
constexpr std::uint32_t kEmptyQueuePauseMs = 100;
constexpr std::uint32_t kWouldBlockRetryMs = 50;
}  // namespace

void LinkService::SendThread() {
  while (!StopRequested()) {
    if (env_->WaitForEvent(*DiscoveryDone, kDiscoveryWaitStepMs)) break;
    if (StopRequested()) return;
  }
  if (SendSnapshot() > 0) return;
  Log(messages::kSendStarted);
  while (!StopRequested()) {
    std::unique_ptr<QueuedDatagram> datagram = channel_.TakeNext();
    if (!datagram) {
      env_->SleepMs(kEmptyQueuePauseMs);
      continue;
    }
    // A datagram that cannot be sent in time is lost; the link goes on.
    SendWithTimeout(channel_.udpSocket, datagram->bytes.get(),
                    static_cast<int>(datagram->length), kSendTimeoutMs);
  }
  Log(messages::kSendExited);
}

int LinkService::SendWithTimeout(const std::atomic<SocketHandle>& socket,
                                 const std::uint8_t* data, int length,
                                 int timeoutMs) {
  if (socket.load() == kInvalidSocket) return -1;
  const std::uint32_t start = env_->TickCount();
  const Ipv4Endpoint to = ServerEndpoint();
  int sent = 0;
  int remaining = length;
  while (remaining > 0) {
    if (StopRequested()) return sent;
    SendOutcome outcome =
        env_->SendTo(socket.load(), data + sent, remaining, to);
    if (outcome.bytes < 0) {
      if (!outcome.wouldBlock) return -1;
      env_->SleepMs(kWouldBlockRetryMs);
      if (static_cast<std::int32_t>(env_->TickCount() - start) >= timeoutMs)
        return sent;
      continue;
    }
    if (outcome.bytes == 0) return sent == 0 ? -1 : sent;
    sent += outcome.bytes;
    remaining -= outcome.bytes;
  }
  return sent;
}

}  // namespace pelmora

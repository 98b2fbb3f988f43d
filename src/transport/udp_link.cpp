#include "transport/udp_link.h"

#include <cstring>

namespace pelmora {
namespace {
constexpr std::uint32_t kEmptyQueuePauseMs = 100;
constexpr std::uint32_t kWouldBlockRetryMs = 50;
}  // namespace

bool UdpLink::Open(OpenStep* failedStep, OsError* error) {
  SocketHandle handle = kInvalidSocket;
  *error = env_.OpenUdpSocket(&handle);
  if (handle == kInvalidSocket) {
    *failedStep = OpenStep::kSocket;
    return false;
  }
  UdpSocket socket(env_, handle);
  *error = env_.ConnectSocket(socket.handle(), settings_.ServerEndpoint());
  if (error->failed()) {
    *failedStep = OpenStep::kConnect;
    return false;
  }
  socket_ = std::move(socket);
  return true;
}

void UdpLink::Close() {
  socket_.Close();
  std::deque<std::unique_ptr<QueuedDatagram>> dropped;
  Locked<Mutex> hold(queueLock_);
  dropped.swap(queue_);
}

void UdpLink::Enqueue(const std::uint8_t* bytes, std::uint32_t length) {
  auto datagram = std::make_unique<QueuedDatagram>();
  datagram->bytes.reset(new std::uint8_t[length + 1]());
  std::memcpy(datagram->bytes.get(), bytes, length);
  datagram->length = length;
  Locked<Mutex> hold(queueLock_);
  queue_.push_back(std::move(datagram));
}

std::unique_ptr<QueuedDatagram> UdpLink::TakeNext() {
  Locked<Mutex> hold(queueLock_);
  if (queue_.empty()) return nullptr;
  auto head = std::move(queue_.front());
  queue_.pop_front();
  return head;
}

std::size_t UdpLink::QueuedCount() const {
  Locked<Mutex> hold(queueLock_);
  return queue_.size();
}

int UdpLink::SendWithTimeout(const std::uint8_t* data, int length) {
  if (!socket_.valid()) return -1;
  const std::uint32_t start = env_.TickCount();
  const Ipv4Endpoint to = settings_.ServerEndpoint();
  int sent = 0;
  int remaining = length;
  while (remaining > 0) {
    if (stop_.IsSet()) return sent;
    SendOutcome outcome =
        env_.SendTo(socket_.handle(), data + sent, remaining, to);
    if (outcome.bytes < 0) {
      if (!outcome.wouldBlock) return -1;
      if (env_.WaitForEvent(stop_, kWouldBlockRetryMs)) return sent;
      if (env_.TickCount() - start >= kSendTimeoutMs) return sent;
      continue;
    }
    if (outcome.bytes == 0) return sent == 0 ? -1 : sent;
    sent += outcome.bytes;
    remaining -= outcome.bytes;
  }
  return sent;
}

void UdpLink::RunSendLoop() {
  while (!stop_.IsSet()) {
    std::unique_ptr<QueuedDatagram> datagram = TakeNext();
    if (!datagram) {
      env_.WaitForEvent(stop_, kEmptyQueuePauseMs);
      continue;
    }
    SendWithTimeout(datagram->bytes.get(), static_cast<int>(datagram->length));
  }
}

}  // namespace pelmora

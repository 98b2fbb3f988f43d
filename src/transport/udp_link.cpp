#include "transport/udp_link.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "transport/datagram_format.h"

namespace pelmora {
namespace {
constexpr std::uint32_t kEmptyQueuePauseMs = 100;
constexpr std::uint32_t kWouldBlockRetryMs = 50;
// Refused sends of one datagram tried again at once before it waits like a
// full buffer: each refusal a host reported fails one send, and a flood of
// forged ones must not hold every datagram for a pause.
constexpr int kRefusedRetriesAtOnce = 8;
}  // namespace

bool UdpLink::Open(OpenStep* failedStep, OsError* error) {
  SocketHandle handle = kInvalidSocket;
  *error = env_.OpenUdpSocket(&handle);
  if (handle == kInvalidSocket) {
    *failedStep = OpenStep::kSocket;
    return false;
  }
  UdpSocket socket(env_, handle);
  const Ipv4Endpoint server = settings_.ServerEndpoint();
  *error = env_.ConnectSocket(socket.handle(), server);
  if (error->failed()) {
    *failedStep = OpenStep::kConnect;
    return false;
  }
  socket_ = std::move(socket);
  connectedTo_ = server;
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
  std::unique_ptr<QueuedDatagram> oldest;
  Locked<Mutex> hold(queueLock_);
  if (queue_.size() >= queueLimit_) {
    // Freed once the lock is released.
    oldest = std::move(queue_.front());
    queue_.pop_front();
    ++dropped_;
  }
  queue_.push_back(std::move(datagram));
}

std::unique_ptr<QueuedDatagram> UdpLink::TakeNext() {
  Locked<Mutex> hold(queueLock_);
  if (queue_.empty()) return nullptr;
  auto head = std::move(queue_.front());
  queue_.pop_front();
  return head;
}

void UdpLink::PutBack(std::unique_ptr<QueuedDatagram> datagram) {
  Locked<Mutex> hold(queueLock_);
  queue_.push_front(std::move(datagram));
}

std::size_t UdpLink::QueuedCount() const {
  Locked<Mutex> hold(queueLock_);
  return queue_.size();
}

std::size_t UdpLink::TakeDroppedCount() {
  Locked<Mutex> hold(queueLock_);
  return std::exchange(dropped_, 0);
}

std::size_t UdpLink::QueuedRecordCount() const {
  Locked<Mutex> hold(queueLock_);
  std::size_t records = 0;
  for (const auto& datagram : queue_)
    records += CountRecords(datagram->bytes.get(), datagram->length);
  return records;
}

int UdpLink::SendWithTimeout(const std::uint8_t* data, int length) {
  return Send(data, length, env_.TickCount(), kSendTimeoutMs, &stop_);
}

OsError UdpLink::SetReceiveBuffer(int bytes) {
  if (!socket_.valid()) return {};
  return env_.SetReceiveBuffer(socket_.handle(), bytes);
}

UdpLink::ReceiveTurn UdpLink::ReceiveWaiting(
    std::uint32_t waitMs, std::size_t most, std::uint8_t* buffer, int capacity,
    const std::function<void(const std::uint8_t*, std::size_t)>& take) {
  ReceiveTurn turn;
  if (!socket_.valid() || !env_.WaitReadable(socket_.handle(), waitMs))
    return turn;
  for (std::size_t receives = 0; receives < most; ++receives) {
    const ReceiveOutcome outcome =
        env_.Receive(socket_.handle(), buffer, capacity);
    if (outcome.bytes < 0) {
      if (!outcome.error.failed()) break;  // nothing more waits
      ++turn.failures;
      continue;
    }
    ++turn.datagrams;
    take(buffer, static_cast<std::size_t>(std::min(outcome.bytes, capacity)));
  }
  return turn;
}

std::size_t UdpLink::SendQueuedWithin(std::uint32_t since,
                                      std::uint32_t limitMs) {
  std::size_t refused = 0;
  while (env_.TickCount() - since < limitMs) {
    std::unique_ptr<QueuedDatagram> datagram = TakeNext();
    if (!datagram) break;
    const int length = static_cast<int>(datagram->length);
    const int sent =
        Send(datagram->bytes.get(), length, since, limitMs, nullptr);
    if (sent == length) continue;
    if (sent < 0) {
      refused += CountRecords(datagram->bytes.get(), datagram->length);
      continue;
    }
    // Time ran out on a full buffer: the datagram waits with the rest.
    PutBack(std::move(datagram));
    break;
  }
  return refused;
}

int UdpLink::Send(const std::uint8_t* data, int length, std::uint32_t since,
                  std::uint32_t limitMs, const ManualEvent* stop) {
  if (!socket_.valid()) return -1;
  int sent = 0;
  int remaining = length;
  int refusedAtOnce = 0;
  while (remaining > 0) {
    if (stop && stop->IsSet()) return sent;
    SendOutcome outcome =
        env_.SendTo(socket_.handle(), data + sent, remaining, connectedTo_);
    if (outcome.bytes < 0) {
      if (outcome.refused && refusedAtOnce++ < kRefusedRetriesAtOnce) continue;
      if (!outcome.wouldBlock && !outcome.refused) return -1;
      refusedAtOnce = 0;
      const std::uint32_t elapsed = env_.TickCount() - since;
      if (elapsed >= limitMs) return sent;
      if (stop) {
        if (env_.WaitForEvent(*stop, kWouldBlockRetryMs)) return sent;
      } else {
        env_.SleepMs(std::min(kWouldBlockRetryMs, limitMs - elapsed));
      }
      if (env_.TickCount() - since >= limitMs) return sent;
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
    const int length = static_cast<int>(datagram->length);
    const int sent = SendWithTimeout(datagram->bytes.get(), length);
    if (sent == length) continue;
    if (sent == 0 && stop_.IsSet()) {
      // The stop came before the datagram went: it waits at the head of
      // the queue for the stop's delivery.
      PutBack(std::move(datagram));
      continue;
    }
    Locked<Mutex> hold(queueLock_);
    ++unsent_;
  }
}

std::size_t UdpLink::TakeUnsentCount() {
  Locked<Mutex> hold(queueLock_);
  return std::exchange(unsent_, 0);
}

}  // namespace pelmora

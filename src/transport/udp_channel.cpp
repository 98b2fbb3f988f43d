#include "transport/udp_channel.h"

#include <cstring>

namespace pelmora {

void UdpChannel::EnqueueDatagram(const std::uint8_t* bytes,
                                 std::uint32_t length) {
  auto datagram = std::make_unique<QueuedDatagram>();
  datagram->bytes.reset(new std::uint8_t[length + 1]());
  std::memcpy(datagram->bytes.get(), bytes, length);
  datagram->length = length;
  std::lock_guard<std::mutex> hold(QueueLock);
  OutboundQueue.push_back(std::move(datagram));
}

std::unique_ptr<QueuedDatagram> UdpChannel::TakeNext() {
  std::lock_guard<std::mutex> hold(QueueLock);
  if (OutboundQueue.empty()) return nullptr;
  auto head = std::move(OutboundQueue.front());
  OutboundQueue.pop_front();
  return head;
}

void UdpChannel::DiscardQueued() {
  std::deque<std::unique_ptr<QueuedDatagram>> dropped;
  {
    std::lock_guard<std::mutex> hold(QueueLock);
    dropped.swap(OutboundQueue);
  }
}

std::size_t UdpChannel::QueuedCount() {
  std::lock_guard<std::mutex> hold(QueueLock);
  return OutboundQueue.size();
}

}  // namespace pelmora

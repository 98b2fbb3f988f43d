// The UDP channel's state: the socket, the send thread, the kinds allowed,
// and the queue of finished datagrams waiting for the send thread.
#ifndef PELMORA_TRANSPORT_UDP_CHANNEL_H_
#define PELMORA_TRANSPORT_UDP_CHANNEL_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/env.h"
#include "platform/sync.h"

namespace pelmora {

// One heap copy of a finished datagram. Owned by the queue, then by the
// send thread, or discarded when the channel closes.
struct QueuedDatagram {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::uint32_t length = 0;
};

inline constexpr std::uint8_t kEnableItems = 0x01;  // also the snapshot
inline constexpr std::uint8_t kEnableEvents = 0x02;

class UdpChannel {
 public:
  // Changed only while no send thread runs (StartLink, StopLink); read by
  // the send thread, the assembler and the snapshot.
  std::atomic<SocketHandle> udpSocket{kInvalidSocket};
  std::unique_ptr<WorkerThread> sendThreadHandle;
  std::uint8_t enableFlags = kEnableItems | kEnableEvents;

  // Copies `length` bytes and appends them at the tail. Any thread.
  void EnqueueDatagram(const std::uint8_t* bytes, std::uint32_t length);
  // Removes the head, or returns null when the queue is empty. Any thread.
  std::unique_ptr<QueuedDatagram> TakeNext();
  // Frees every queued datagram unsent.
  void DiscardQueued();
  std::size_t QueuedCount();

 private:
  std::mutex QueueLock;  // held only to append or remove one record
  std::deque<std::unique_ptr<QueuedDatagram>> OutboundQueue;
};

}  // namespace pelmora

#endif  // PELMORA_TRANSPORT_UDP_CHANNEL_H_

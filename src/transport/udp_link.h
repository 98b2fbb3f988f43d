// The UDP link to the server: a socket connected to it, the queue of
// finished datagrams, and the send loop that empties the queue.
#ifndef PELMORA_TRANSPORT_UDP_LINK_H_
#define PELMORA_TRANSPORT_UDP_LINK_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

#include "config/settings.h"
#include "platform/env.h"
#include "platform/manual_event.h"
#include "platform/udp_socket.h"
#include "sync/mutex.h"

namespace pelmora {

// How long one datagram may wait for room in a full socket buffer.
inline constexpr std::uint32_t kSendTimeoutMs = 5000;

// The most datagrams the queue holds (at most 8 MiB of datagram bytes). It
// fills only while nothing sends: before the host's first round is complete,
// or when the socket takes less than the host pushes. The oldest are dropped
// first: a server's picture of the points and its recent events are best
// served by the newest datagrams, whose values replace older ones.
inline constexpr std::size_t kMaxQueuedDatagrams = 8192;

inline constexpr std::uint8_t kEnableItems = 0x01;  // also the snapshot
inline constexpr std::uint8_t kEnableEvents = 0x02;

// One heap copy of a finished datagram. Owned by the queue, then by the
// send loop, or discarded when the link closes.
struct QueuedDatagram {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::uint32_t length = 0;
};

class UdpLink {
 public:
  // The socket is connected where `settings` say as it opens; `stop` ends
  // every wait and the send loop.
  UdpLink(Env& env, const Settings& settings, const ManualEvent& stop,
          std::size_t queueLimit = kMaxQueuedDatagrams)
      : env_(env), settings_(settings), stop_(stop), queueLimit_(queueLimit) {}

  enum class OpenStep { kSocket, kConnect };
  // Creates the socket and connects it to the server. On failure nothing is
  // left open, and `failedStep` and `error` say where and why.
  // Open and Close run only while no send loop or drain runs.
  bool Open(OpenStep* failedStep, OsError* error);
  // Closes the socket and discards every queued datagram unsent.
  void Close() EXCLUDES(queueLock_);
  bool IsOpen() const { return socket_.valid(); }

  // Which kinds of datagram are sent (kEnableItems, kEnableEvents); set
  // only while nothing sends.
  std::uint8_t enableFlags() const { return enableFlags_; }
  void SetEnableFlags(std::uint8_t flags) { enableFlags_ = flags; }

  // Copies `length` bytes to the tail of the queue; when the queue holds
  // its limit, the oldest datagram is dropped first and counted. Any thread.
  void Enqueue(const std::uint8_t* bytes, std::uint32_t length)
      EXCLUDES(queueLock_);
  // Removes the head, or returns null when the queue is empty. Any thread.
  std::unique_ptr<QueuedDatagram> TakeNext() EXCLUDES(queueLock_);
  std::size_t QueuedCount() const EXCLUDES(queueLock_);
  // How many datagrams were dropped for room since the last call.
  std::size_t TakeDroppedCount() EXCLUDES(queueLock_);
  // How many datagrams the send loop lost since the last call: refused
  // outright, or still refused or blocked when their send limit ran out.
  std::size_t TakeUnsentCount() EXCLUDES(queueLock_);
  // How many records the queued datagrams hold.
  std::size_t QueuedRecordCount() const EXCLUDES(queueLock_);

  // Sends one datagram to the server the socket was connected to (the
  // dialog names a new one before it restarts the link, and what is sent
  // until then belongs to the old one), retrying every 50 ms while the
  // socket's buffer is full, for up to kSendTimeoutMs. A send that a
  // host's refusal of an earlier datagram failed is tried again at once,
  // and after a few such in a row retried like a full buffer. Returns the
  // bytes sent (0 or a part when time ran out or the stop was signalled),
  // or -1 when the link is closed or the send failed outright.
  int SendWithTimeout(const std::uint8_t* data, int length);

  // Asks for a receive buffer of `bytes`, for a link that reads what its
  // server sends. Only while the link is open and nothing receives.
  OsError SetReceiveBuffer(int bytes);

  // What one receive turn took.
  struct ReceiveTurn {
    std::size_t datagrams = 0;
    // Receives that failed for another reason than an empty socket.
    std::size_t failures = 0;
  };
  // One turn of the thread that reads what the server sends: waits up to
  // `waitMs` until something waits on the socket, then receives until the
  // socket is empty or `most` receives were made, handing each datagram
  // (cut to `capacity`, so that a longer one shows as too long) to `take`.
  // A receive that fails for another reason than an empty socket (a
  // refusal some host reported, forged or not) is counted and skipped: it
  // never ends the turn. Nothing when the link is closed.
  ReceiveTurn ReceiveWaiting(
      std::uint32_t waitMs, std::size_t most, std::uint8_t* buffer,
      int capacity,
      const std::function<void(const std::uint8_t*, std::size_t)>& take);

  // The stop's last delivery, once the stop is signalled and the send loop
  // has ended: sends the queued datagrams, oldest first, to the server the
  // socket was connected to, regardless of the stop, until `limitMs` have
  // passed since the TickCount `since`. A full socket buffer is retried
  // until then. Returns how many records the datagrams that the socket
  // refused held; what time did not allow stays queued.
  std::size_t SendQueuedWithin(std::uint32_t since, std::uint32_t limitMs)
      EXCLUDES(queueLock_);

  // The send thread's loop once the snapshot is out: the queued datagrams
  // one by one, a 100 ms pause whenever the queue is empty, until stop. A
  // datagram that cannot be sent in time is lost and counted; the link
  // goes on. One that the stop kept from going returns to the head of the
  // queue.
  void RunSendLoop();

 private:
  // Sends one datagram, retrying a full socket buffer every 50 ms until
  // `limitMs` have passed since the TickCount `since`. With `stop`, a retry
  // waits on it and the send ends once it is set; without, the retry is a
  // plain pause.
  int Send(const std::uint8_t* data, int length, std::uint32_t since,
           std::uint32_t limitMs, const ManualEvent* stop);
  // Returns a datagram taken but not sent to the head of the queue.
  void PutBack(std::unique_ptr<QueuedDatagram> datagram) EXCLUDES(queueLock_);

  Env& env_;
  const Settings& settings_;
  const ManualEvent& stop_;
  const std::size_t queueLimit_;
  UdpSocket socket_;
  // Where the open socket was connected.
  Ipv4Endpoint connectedTo_;
  std::uint8_t enableFlags_ = kEnableItems | kEnableEvents;
  mutable Mutex queueLock_;  // held only to append or remove one datagram
  std::deque<std::unique_ptr<QueuedDatagram>> queue_ GUARDED_BY(queueLock_);
  std::size_t dropped_ GUARDED_BY(queueLock_) = 0;
  std::size_t unsent_ GUARDED_BY(queueLock_) = 0;
};

}  // namespace pelmora

#endif  // PELMORA_TRANSPORT_UDP_LINK_H_

// A UDP socket to receive the plug-in's datagrams on.
#ifndef PELMORA_TOOLS_WIRE_UDP_RECEIVER_H_
#define PELMORA_TOOLS_WIRE_UDP_RECEIVER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "endpoint.h"

namespace pelmora::wire {

// What a receiver asks of the system for its buffer unless told otherwise:
// room for the bursts of a large snapshot, where the kernel's default holds
// a few hundred datagrams.
inline constexpr int kDefaultReceiveBufferBytes = 4 * 1024 * 1024;

// The receive buffer as asked for and as the system set it.
struct ReceiveBuffer {
  int asked = 0;
  // Of the bytes asked for, those granted (Linux reserves twice as much,
  // for its own bookkeeping, and reports the double: that is `system`).
  int granted = 0;
  int system = 0;
  // Empty when the buffer can hold all that was asked for; else why not,
  // and what would give more.
  std::string shortBecause;
};

// An IPv4 UDP socket bound for receiving; closed on destruction. The socket
// half comes in one implementation per system (udp_receiver_posix.cpp,
// udp_receiver_win32.cpp).
class UdpReceiver {
 public:
  UdpReceiver() = default;
  ~UdpReceiver();
  UdpReceiver(const UdpReceiver&) = delete;
  UdpReceiver& operator=(const UdpReceiver&) = delete;

  // `address` is dotted IPv4; port 0 picks a free one, which port() then
  // reports. The buffer gets `receiveBufferBytes` where the system allows:
  // beyond its cap with privilege, else up to the cap. False with `error`
  // filled when the socket cannot be bound.
  bool Open(const std::string& address, std::uint16_t port, std::string* error,
            int receiveBufferBytes = kDefaultReceiveBufferBytes);

  std::uint16_t port() const { return local_.port; }
  // The address and port it is bound to.
  const Endpoint& local() const { return local_; }
  // What the system reports for the buffer, which may be less than asked.
  int receive_buffer_bytes() const { return buffer_size_.system; }
  const ReceiveBuffer& receive_buffer() const { return buffer_size_; }

  // Waits up to `timeoutMs` (0: just looks) for one datagram and stores it
  // whole, however long, and its sender in `from` when given. False on
  // timeout, on a signal, or on an error.
  bool Receive(std::vector<std::uint8_t>* datagram, int timeoutMs,
               Endpoint* from = nullptr);

  // Datagrams the system dropped because this socket's buffer was full,
  // since it was opened, as the system counts them at this moment (a system
  // call): no later datagram is needed to see them. Nothing where the
  // system does not count them.
  std::optional<std::uint64_t> KernelDrops();
  // The same count as it stood when the last datagram received was queued:
  // every drop before that datagram, none after it. 0 where not counted.
  std::uint64_t drops_before_last() const { return dropsBeforeLast_; }

  // Sends one datagram from this socket's address and port, the only ones
  // a station's link takes datagrams from. False when it did not go.
  bool SendTo(const std::uint8_t* data, std::size_t length, const Endpoint& to);

 private:
  // The system's 32-bit drop count `raw`, read at any time up to now, as
  // a count that does not wrap.
  std::uint64_t Extend(std::uint32_t raw);

  // A file descriptor, or a Windows SOCKET; -1 when none is open.
  std::intptr_t socket_ = -1;
  Endpoint local_;
  ReceiveBuffer buffer_size_;
  bool dropsCounted_ = false;
  // The latest raw count seen, and the same without wrapping.
  std::uint32_t latestRaw_ = 0;
  std::uint64_t latest_ = 0;
  std::uint64_t dropsBeforeLast_ = 0;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_UDP_RECEIVER_H_

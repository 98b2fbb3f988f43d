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
  // reports. False with `error` filled when the socket cannot be bound.
  bool Open(const std::string& address, std::uint16_t port, std::string* error);

  std::uint16_t port() const { return local_.port; }
  // The address and port it is bound to.
  const Endpoint& local() const { return local_; }
  // What the system granted, which may be less than asked for.
  int receive_buffer_bytes() const { return receiveBufferBytes_; }

  // Waits up to `timeoutMs` (0: just looks) for one datagram and stores it
  // whole, however long, and its sender in `from` when given. False on
  // timeout, on a signal, or on an error.
  bool Receive(std::vector<std::uint8_t>* datagram, int timeoutMs,
               Endpoint* from = nullptr);

  // Datagrams the system dropped because this socket's buffer was full,
  // since it was opened. The system tells the count along with each datagram
  // it queues, so drops show once a later datagram has been received;
  // nothing where the system does not count them.
  std::optional<std::uint64_t> KernelDrops() const;
  // Sends one datagram from this socket's address and port, the only ones
  // a station's link takes datagrams from. False when it did not go.
  bool SendTo(const std::uint8_t* data, std::size_t length, const Endpoint& to);

 private:
  // A file descriptor, or a Windows SOCKET; -1 when none is open.
  std::intptr_t socket_ = -1;
  Endpoint local_;
  int receiveBufferBytes_ = 0;
  bool dropsCounted_ = false;
  std::uint32_t kernelDrops_ = 0;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_UDP_RECEIVER_H_

// A UDP socket that sends datagrams to a port on loopback, as a station
// would, for the tests of the receiver, the gateway and the dissector.
#ifndef PELMORA_TESTS_SUPPORT_UDP_SENDER_H_
#define PELMORA_TESTS_SUPPORT_UDP_SENDER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

#include "support/datagram_bytes.h"

namespace pelmora::testing {

class Sender {
 public:
  explicit Sender(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    to_.sin_family = AF_INET;
    to_.sin_port = htons(port);
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  ~Sender() { ::close(fd_); }
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

  void Send(const Bytes& bytes) {
    if (::sendto(fd_, bytes.data(), bytes.size(), 0,
                 reinterpret_cast<const sockaddr*>(&to_),
                 sizeof to_) != static_cast<ssize_t>(bytes.size())) {
      throw std::runtime_error("sendto failed");
    }
  }

 private:
  int fd_;
  sockaddr_in to_{};
};

}  // namespace pelmora::testing

#endif  // PELMORA_TESTS_SUPPORT_UDP_SENDER_H_

// Where the gateway's tests and benchmarks start their own mosquitto: the
// broker's path and a free TCP port on loopback for it.
#ifndef PELMORA_TESTS_SUPPORT_MOSQUITTO_PORT_H_
#define PELMORA_TESTS_SUPPORT_MOSQUITTO_PORT_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pelmora::testing {

inline constexpr char kMosquitto[] = "/usr/sbin/mosquitto";

inline int FreeTcpPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

}  // namespace pelmora::testing

#endif  // PELMORA_TESTS_SUPPORT_MOSQUITTO_PORT_H_

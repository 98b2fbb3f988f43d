// UdpReceiver on POSIX sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "wire_reader.h"

namespace pelmora::wire {

namespace {

// The plug-in sends bursts of thousands of datagrams when it snapshots a large
// point list; the kernel's default buffer holds a few hundred.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

// Larger than any IPv4 UDP payload, so an oversize datagram arrives whole and
// is reported by its real length instead of being cut to look valid.
constexpr std::size_t kReadBufferBytes = 65536;

std::string SystemError(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

UdpReceiver::~UdpReceiver() {
  if (fd_ >= 0) ::close(fd_);
}

bool UdpReceiver::Open(const std::string& address, std::uint16_t port,
                       std::string* error) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
    *error = "not an IPv4 address: " + address;
    return false;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    *error = SystemError("socket");
    return false;
  }
  // SO_RCVBUFFORCE passes the system's rmem_max cap but needs privilege;
  // unprivileged, fall back to whatever SO_RCVBUF is allowed to give.
  if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes,
                   sizeof kReceiveBufferBytes) != 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes,
                 sizeof kReceiveBufferBytes);
  }
  socklen_t optionLength = sizeof receiveBufferBytes_;
  ::getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes_, &optionLength);

  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) !=
      0) {
    *error =
        SystemError(("bind " + address + ":" + std::to_string(port)).c_str());
    ::close(fd_);
    fd_ = -1;
    return false;
  }
  sockaddr_in bound{};
  socklen_t boundLength = sizeof bound;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &boundLength);
  port_ = ntohs(bound.sin_port);
  buffer_.resize(kReadBufferBytes);
  return true;
}

bool UdpReceiver::Receive(std::vector<std::uint8_t>* datagram, int timeoutMs) {
  if (fd_ < 0) return false;
  pollfd waitFor{fd_, POLLIN, 0};
  if (::poll(&waitFor, 1, timeoutMs) <= 0) return false;
  const ssize_t received =
      ::recv(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
  if (received < 0) return false;
  datagram->assign(buffer_.begin(), buffer_.begin() + received);
  return true;
}

}  // namespace pelmora::wire

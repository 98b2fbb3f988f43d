// UdpReceiver on POSIX sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "udp_receiver.h"

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

Endpoint EndpointOf(const sockaddr_in& address) {
  return {ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

}  // namespace

UdpReceiver::~UdpReceiver() {
  if (socket_ >= 0) ::close(static_cast<int>(socket_));
}

bool UdpReceiver::Open(const std::string& address, std::uint16_t port,
                       std::string* error) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  std::uint32_t host = 0;
  if (!ParseIpv4(address, &host)) {
    *error = "not an IPv4 address: " + address;
    return false;
  }
  local.sin_addr.s_addr = htonl(host);
  if (socket_ >= 0) ::close(static_cast<int>(socket_));
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  socket_ = fd;
  if (fd < 0) {
    *error = SystemError("socket");
    return false;
  }
  // SO_RCVBUFFORCE passes the system's rmem_max cap but needs privilege;
  // unprivileged, fall back to whatever SO_RCVBUF is allowed to give.
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes,
                   sizeof kReceiveBufferBytes) != 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes,
                 sizeof kReceiveBufferBytes);
  }
  socklen_t optionLength = sizeof receiveBufferBytes_;
  ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes_, &optionLength);
  const int on = 1;
  dropsCounted_ =
      ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0;
  kernelDrops_ = 0;

  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) !=
      0) {
    *error =
        SystemError(("bind " + address + ":" + std::to_string(port)).c_str());
    ::close(fd);
    socket_ = -1;
    return false;
  }
  sockaddr_in bound{};
  socklen_t boundLength = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength);
  local_ = EndpointOf(bound);
  buffer_.resize(kReadBufferBytes);
  return true;
}

bool UdpReceiver::Receive(std::vector<std::uint8_t>* datagram, int timeoutMs,
                          Endpoint* from) {
  if (socket_ < 0) return false;
  const int fd = static_cast<int>(socket_);
  pollfd waitFor{fd, POLLIN, 0};
  if (::poll(&waitFor, 1, timeoutMs) <= 0) return false;
  sockaddr_in sender{};
  iovec into{buffer_.data(), buffer_.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof kernelDrops_)];
  msghdr message{};
  message.msg_name = &sender;
  message.msg_namelen = sizeof sender;
  message.msg_iov = &into;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t received = ::recvmsg(fd, &message, MSG_DONTWAIT);
  if (received < 0) return false;
  // The count comes only once it is above zero.
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SO_RXQ_OVFL)
      std::memcpy(&kernelDrops_, CMSG_DATA(header), sizeof kernelDrops_);
  }
  datagram->assign(buffer_.begin(), buffer_.begin() + received);
  if (from != nullptr) *from = EndpointOf(sender);
  return true;
}

std::optional<std::uint64_t> UdpReceiver::KernelDrops() const {
  if (!dropsCounted_) return std::nullopt;
  return kernelDrops_;
}

bool UdpReceiver::SendTo(const std::uint8_t* data, std::size_t length,
                         const Endpoint& to) {
  if (socket_ < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(to.address);
  address.sin_port = htons(to.port);
  return ::sendto(static_cast<int>(socket_), data, length, MSG_DONTWAIT,
                  reinterpret_cast<const sockaddr*>(&address),
                  sizeof address) == static_cast<ssize_t>(length);
}

}  // namespace pelmora::wire

// UdpReceiver on POSIX sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <linux/sock_diag.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "udp_receiver.h"

namespace pelmora::wire {

namespace {

// The cap on a buffer that an unprivileged process may ask for, and the
// pages that all UDP sockets together may hold (the third of three).
constexpr char kBufferCapPath[] = "/proc/sys/net/core/rmem_max";
constexpr char kUdpMemoryPath[] = "/proc/sys/net/ipv4/udp_mem";

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
                       std::string* error, int receiveBufferBytes) {
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
  buffer_size_ = {};
  buffer_size_.asked = receiveBufferBytes;
  const bool forced =
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBufferBytes,
                   sizeof receiveBufferBytes) == 0;
  if (!forced) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes,
                 sizeof receiveBufferBytes);
  }
  socklen_t optionLength = sizeof buffer_size_.system;
  ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer_size_.system, &optionLength);
  buffer_size_.granted = buffer_size_.system / 2;
  if (buffer_size_.granted < receiveBufferBytes) {
    long cap = 0;
    std::ifstream(kBufferCapPath) >> cap;
    buffer_size_.shortBecause =
        forced ? "the system grants no more to one socket"
               : "net.core.rmem_max is " + std::to_string(cap) +
                     " and the process may not pass it (CAP_NET_ADMIN): "
                     "sysctl -w net.core.rmem_max=" +
                     std::to_string(receiveBufferBytes) + " gives it";
  }
  long long pages[3] = {};
  std::ifstream(kUdpMemoryPath) >> pages[0] >> pages[1] >> pages[2];
  const long long udpBytes = pages[2] * ::sysconf(_SC_PAGESIZE);
  if (buffer_size_.shortBecause.empty() && udpBytes > 0 &&
      buffer_size_.system > udpBytes) {
    buffer_size_.shortBecause =
        "net.ipv4.udp_mem lets all UDP sockets together hold " +
        std::to_string(udpBytes) +
        " bytes, less than this buffer: raise its third value (pages)";
  }
  const int on = 1;
  dropsCounted_ =
      ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) == 0;
  latestRaw_ = 0;
  latest_ = 0;
  dropsBeforeLast_ = 0;

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
  std::uint32_t dropsBefore = 0;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof dropsBefore)];
  msghdr message{};
  message.msg_name = &sender;
  message.msg_namelen = sizeof sender;
  message.msg_iov = &into;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t received = ::recvmsg(fd, &message, MSG_DONTWAIT);
  if (received < 0) return false;
  // The count as it stood when the datagram was queued; it comes only
  // once it is above zero.
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SO_RXQ_OVFL)
      std::memcpy(&dropsBefore, CMSG_DATA(header), sizeof dropsBefore);
  }
  if (dropsCounted_) dropsBeforeLast_ = Extend(dropsBefore);
  datagram->assign(buffer_.begin(), buffer_.begin() + received);
  if (from != nullptr) *from = EndpointOf(sender);
  return true;
}

std::optional<std::uint64_t> UdpReceiver::KernelDrops() {
  if (socket_ < 0) return std::nullopt;
  std::uint32_t memory[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof memory;
  if (::getsockopt(static_cast<int>(socket_), SOL_SOCKET, SO_MEMINFO, memory,
                   &length) != 0 ||
      length <= SK_MEMINFO_DROPS * sizeof memory[0]) {
    return std::nullopt;
  }
  return Extend(memory[SK_MEMINFO_DROPS]);
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

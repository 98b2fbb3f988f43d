// UdpReceiver on Windows Sockets.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "udp_receiver.h"

namespace pelmora::wire {

namespace {

// As on POSIX: a read buffer larger than any IPv4 UDP payload, so an
// oversize datagram arrives whole.
constexpr std::size_t kReadBufferBytes = 65536;

// Windows Sockets started once for the process, and cleaned up at its end.
class WinsockSession {
 public:
  WinsockSession() {
    WSADATA data;
    started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinsockSession() {
    if (started_) ::WSACleanup();
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;

 private:
  bool started_ = false;
};

// The error of the last Windows Sockets call; errno says nothing about it.
std::string SocketError(const std::string& what) {
  return what + ": Windows Sockets error " +
         std::to_string(::WSAGetLastError());
}

Endpoint EndpointOf(const sockaddr_in& address) {
  return {ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

SOCKET AsSocket(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

}  // namespace

UdpReceiver::~UdpReceiver() {
  if (socket_ != -1) ::closesocket(AsSocket(socket_));
}

bool UdpReceiver::Open(const std::string& address, std::uint16_t port,
                       std::string* error, int receiveBufferBytes) {
  static const WinsockSession session;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  std::uint32_t host = 0;
  if (!ParseIpv4(address, &host)) {
    *error = "not an IPv4 address: " + address;
    return false;
  }
  local.sin_addr.s_addr = htonl(host);
  if (socket_ != -1) ::closesocket(AsSocket(socket_));
  const SOCKET handle = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (handle == INVALID_SOCKET) {
    socket_ = -1;
    *error = SocketError("socket");
    return false;
  }
  socket_ = static_cast<std::intptr_t>(handle);
  buffer_size_ = {};
  buffer_size_.asked = receiveBufferBytes;
  ::setsockopt(handle, SOL_SOCKET, SO_RCVBUF,
               reinterpret_cast<const char*>(&receiveBufferBytes),
               sizeof receiveBufferBytes);
  int optionLength = sizeof buffer_size_.system;
  ::getsockopt(handle, SOL_SOCKET, SO_RCVBUF,
               reinterpret_cast<char*>(&buffer_size_.system), &optionLength);
  // Windows reports what it was set to, bookkeeping apart.
  buffer_size_.granted = buffer_size_.system;
  if (buffer_size_.granted < receiveBufferBytes)
    buffer_size_.shortBecause = "Windows grants no more to one socket";

  if (::bind(handle, reinterpret_cast<const sockaddr*>(&local), sizeof local) !=
      0) {
    *error = SocketError("bind " + address + ":" + std::to_string(port));
    ::closesocket(handle);
    socket_ = -1;
    return false;
  }
  sockaddr_in bound{};
  int boundLength = sizeof bound;
  ::getsockname(handle, reinterpret_cast<sockaddr*>(&bound), &boundLength);
  local_ = EndpointOf(bound);
  buffer_.resize(kReadBufferBytes);
  return true;
}

bool UdpReceiver::Receive(std::vector<std::uint8_t>* datagram, int timeoutMs,
                          Endpoint* from) {
  if (socket_ == -1) return false;
  const SOCKET handle = AsSocket(socket_);
  WSAPOLLFD waitFor{};
  waitFor.fd = handle;
  waitFor.events = POLLRDNORM;
  if (::WSAPoll(&waitFor, 1, timeoutMs) <= 0) return false;
  sockaddr_in sender{};
  int senderLength = sizeof sender;
  const int received =
      ::recvfrom(handle, reinterpret_cast<char*>(buffer_.data()),
                 static_cast<int>(buffer_.size()), 0,
                 reinterpret_cast<sockaddr*>(&sender), &senderLength);
  if (received == SOCKET_ERROR) return false;
  datagram->assign(buffer_.begin(), buffer_.begin() + received);
  if (from != nullptr) *from = EndpointOf(sender);
  return true;
}

// Windows keeps no per-socket count of the datagrams it drops.
std::optional<std::uint64_t> UdpReceiver::KernelDrops() { return std::nullopt; }

bool UdpReceiver::SendTo(const std::uint8_t* data, std::size_t length,
                         const Endpoint& to) {
  if (socket_ == -1 || length > 65535) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(to.address);
  address.sin_port = htons(to.port);
  return ::sendto(AsSocket(socket_), reinterpret_cast<const char*>(data),
                  static_cast<int>(length), 0,
                  reinterpret_cast<const sockaddr*>(&address),
                  sizeof address) == static_cast<int>(length);
}

}  // namespace pelmora::wire

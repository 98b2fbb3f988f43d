#include "platform/posix/env_posix.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "platform/portable_env.h"
#include "platform/posix/profile_file_posix.h"

namespace pelmora {
namespace {

sockaddr_in ToSockaddr(Ipv4Endpoint to) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(to.port);
  addr.sin_addr.s_addr = to.address;
  return addr;
}

class PosixEnv : public PortableEnv {
 public:
  CivilTime LocalNow() override {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
            local.tm_hour,        local.tm_min,     local.tm_sec};
  }

  std::string ExecutablePath() override {
    std::string path(256, '\0');
    for (;;) {
      ssize_t n = ::readlink("/proc/self/exe", &path[0], path.size());
      if (n < 0) return std::string();
      if (static_cast<std::size_t>(n) < path.size()) {
        path.resize(static_cast<std::size_t>(n));
        return path;
      }
      path.resize(path.size() * 2);
    }
  }

  char PathSeparator() override { return '/'; }

  std::unique_ptr<LogFile> OpenLogFile(const std::string& path) override {
    return OpenPosixLogFile(path);
  }

  std::string ReadProfileString(const std::string& file,
                                const std::string& section,
                                const std::string& key,
                                const std::string& fallback) override {
    return profile::ReadString(file, section, key, fallback);
  }

  std::uint32_t ReadProfileInt(const std::string& file,
                               const std::string& section,
                               const std::string& key,
                               std::uint32_t fallback) override {
    return profile::ReadInt(file, section, key, fallback);
  }

  OsError CheckProfileReadable(const std::string& file) override {
    return {profile::ReadError(file)};
  }

  OsError WriteProfileEntry(const std::string& file, const std::string& section,
                            const std::string& key,
                            const std::string& value) override {
    return profile::WriteString(file, section, key, value)
               ? OsError{}
               : OsError{errno ? errno : EIO};
  }

  // There is no Windows directory here: a host's own profile file sits
  // beside the host's executable.
  std::string HostProfilePath(const std::string& name) override {
    std::string exe = ExecutablePath();
    std::size_t slash = exe.rfind('/');
    return (slash == std::string::npos ? std::string() : exe.substr(0, slash)) +
           "/" + name;
  }

  bool ListAdapterAddresses(
      std::vector<std::vector<std::uint8_t>>* out) override {
    return ListPosixAdapterAddresses(out);
  }

  void StartSockets() override {}
  void CleanupSockets() override {}

  // Non-blocking: a full send buffer returns EAGAIN, which the link retries
  // within its send limit and its stop, instead of holding the thread.
  OsError OpenUdpSocket(SocketHandle* socket) override {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK,
                      IPPROTO_UDP);
    *socket = fd < 0 ? kInvalidSocket : fd;
    return fd < 0 ? OsError{errno} : OsError{};
  }

  std::uint32_t ParseIpv4(const std::string& text) override {
    return ::inet_addr(text.c_str());
  }

  OsError ConnectSocket(SocketHandle socket, Ipv4Endpoint to) override {
    sockaddr_in addr = ToSockaddr(to);
    if (::connect(static_cast<int>(socket),
                  reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
      return {};
    return {errno};
  }

  SendOutcome SendTo(SocketHandle socket, const std::uint8_t* data, int length,
                     Ipv4Endpoint to) override {
    sockaddr_in addr = ToSockaddr(to);
    ssize_t n = ::sendto(static_cast<int>(socket), data,
                         static_cast<std::size_t>(length), MSG_NOSIGNAL,
                         reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    if (n >= 0) return {static_cast<int>(n), false, {}};
    const int error = errno;
    // What an ICMP error for an earlier datagram leaves on a connected UDP
    // socket, to be returned by its next call.
    const bool refused = error == ECONNREFUSED || error == EHOSTUNREACH ||
                         error == ENETUNREACH || error == EHOSTDOWN;
    return {-1, error == EAGAIN || error == EWOULDBLOCK, {error}, refused};
  }

  OsError SetReceiveBuffer(SocketHandle socket, int bytes) override {
    if (::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RCVBUF, &bytes,
                     sizeof bytes) == 0)
      return {};
    return {errno};
  }

  bool WaitReadable(SocketHandle socket, std::uint32_t ms) override {
    pollfd wanted{static_cast<int>(socket), POLLIN, 0};
    const int n = ::poll(&wanted, 1, static_cast<int>(ms));
    return n > 0 && wanted.revents != 0;
  }

  ReceiveOutcome Receive(SocketHandle socket, std::uint8_t* buffer,
                         int capacity) override {
    // MSG_TRUNC: the real length of a datagram longer than the buffer.
    ssize_t n =
        ::recv(static_cast<int>(socket), buffer,
               static_cast<std::size_t>(capacity), MSG_DONTWAIT | MSG_TRUNC);
    if (n >= 0) return {static_cast<int>(n), {}};
    const int error = errno;
    return {-1, {error == EAGAIN || error == EWOULDBLOCK ? 0 : error}};
  }

  void CloseSocket(SocketHandle socket) override {
    ::shutdown(static_cast<int>(socket), SHUT_RDWR);
    ::close(static_cast<int>(socket));
  }
};

}  // namespace

Env* Env::Default() {
  // Holds no resource of its own: released with the library, so that a
  // host loading and unloading the plug-in leaks nothing.
  static PosixEnv env;
  return &env;
}

}  // namespace pelmora

#include "platform/win32/env_win32.h"

#include <winsock2.h>
#include <windows.h>

#include <ctime>

#include "platform/portable_env.h"

// Whether an ICMP port unreachable for an earlier datagram fails the next
// receive with WSAECONNRESET; not every MinGW header names it.
#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace pelmora {
namespace {

sockaddr_in ToSockaddr(Ipv4Endpoint to) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(to.port);
  addr.sin_addr.s_addr = to.address;
  return addr;
}

class Win32Env : public PortableEnv {
 public:
  CivilTime LocalNow() override {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return {now.wYear, now.wMonth,  now.wDay,
            now.wHour, now.wMinute, now.wSecond};
  }

  // The host's executable, read whole: a path longer than MAX_PATH is taken
  // from a larger buffer rather than cut.
  std::string ExecutablePath() override {
    std::string path(MAX_PATH, '\0');
    for (;;) {
      DWORD n = ::GetModuleFileNameA(nullptr, &path[0],
                                     static_cast<DWORD>(path.size()));
      if (n == 0) return std::string();
      if (n < path.size()) {
        path.resize(n);
        return path;
      }
      if (path.size() >= 32768) return std::string();
      path.resize(path.size() * 2);
    }
  }

  char PathSeparator() override { return '\\'; }

  std::unique_ptr<LogFile> OpenLogFile(const std::string& path) override {
    return OpenWin32LogFile(path);
  }

  std::string ReadProfileString(const std::string& file,
                                const std::string& section,
                                const std::string& key,
                                const std::string& fallback) override {
    char buffer[260] = {};
    ::GetPrivateProfileStringA(section.c_str(), key.c_str(), fallback.c_str(),
                               buffer, sizeof buffer, file.c_str());
    return buffer;
  }

  std::uint32_t ReadProfileInt(const std::string& file,
                               const std::string& section,
                               const std::string& key,
                               std::uint32_t fallback) override {
    return ::GetPrivateProfileIntA(section.c_str(), key.c_str(),
                                   static_cast<INT>(fallback), file.c_str());
  }

  OsError CheckProfileReadable(const std::string& file) override {
    // A bare name is the one the profile functions look up in the Windows
    // directory.
    std::string path = file;
    if (file.find_first_of("\\/:") == std::string::npos) {
      char windows[MAX_PATH];
      const UINT n = ::GetWindowsDirectoryA(windows, MAX_PATH);
      if (n > 0 && n < MAX_PATH) path = std::string(windows, n) + "\\" + file;
    }
    // A directory cannot be opened this way either: access is denied.
    HANDLE handle = ::CreateFileA(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      ::CloseHandle(handle);
      return {};
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      return {};
    return {static_cast<int>(error)};
  }

  OsError WriteProfileEntry(const std::string& file, const std::string& section,
                            const std::string& key,
                            const std::string& value) override {
    if (::WritePrivateProfileStringA(section.c_str(), key.c_str(),
                                     value.c_str(), file.c_str()))
      return {};
    return {static_cast<int>(::GetLastError())};
  }

  // A bare name is looked up by the profile functions in the Windows
  // directory.
  std::string HostProfilePath(const std::string& name) override { return name; }

  bool ListAdapterAddresses(
      std::vector<std::vector<std::uint8_t>>* out) override {
    return ListWin32AdapterAddresses(out);
  }

  void StartSockets() override {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  }

  void CleanupSockets() override { ::WSACleanup(); }

  // Non-blocking: a full send buffer returns WSAEWOULDBLOCK, which the link
  // retries within its send limit and its stop, instead of holding the
  // thread.
  OsError OpenUdpSocket(SocketHandle* socket) override {
    *socket = kInvalidSocket;
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return {::WSAGetLastError()};
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) == SOCKET_ERROR) {
      const int error = ::WSAGetLastError();
      ::closesocket(s);
      return {error};
    }
    // A forged port unreachable would otherwise make the next receive fail
    // and the datagram behind it wait; a socket that keeps this on still
    // works, so a refusal of the option is no failure.
    BOOL reportResets = FALSE;
    DWORD returned = 0;
    ::WSAIoctl(s, SIO_UDP_CONNRESET, &reportResets, sizeof reportResets,
               nullptr, 0, &returned, nullptr, nullptr);
    *socket = static_cast<SocketHandle>(s);
    return {};
  }

  std::uint32_t ParseIpv4(const std::string& text) override {
    return ::inet_addr(text.c_str());
  }

  OsError ConnectSocket(SocketHandle socket, Ipv4Endpoint to) override {
    sockaddr_in addr = ToSockaddr(to);
    if (::connect(static_cast<SOCKET>(socket),
                  reinterpret_cast<const sockaddr*>(&addr),
                  sizeof addr) != SOCKET_ERROR)
      return {};
    return {::WSAGetLastError()};
  }

  SendOutcome SendTo(SocketHandle socket, const std::uint8_t* data, int length,
                     Ipv4Endpoint to) override {
    sockaddr_in addr = ToSockaddr(to);
    int n = ::sendto(static_cast<SOCKET>(socket),
                     reinterpret_cast<const char*>(data), length, 0,
                     reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    if (n != SOCKET_ERROR) return {n, false, {}};
    const int error = ::WSAGetLastError();
    // What an ICMP error for an earlier datagram leaves on a connected UDP
    // socket, to be returned by its next call.
    const bool refused = error == WSAECONNRESET || error == WSAECONNREFUSED ||
                         error == WSAEHOSTUNREACH || error == WSAENETUNREACH ||
                         error == WSAENETRESET;
    return {-1, error == WSAEWOULDBLOCK, {error}, refused};
  }

  OsError SetReceiveBuffer(SocketHandle socket, int bytes) override {
    if (::setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_RCVBUF,
                     reinterpret_cast<const char*>(&bytes),
                     sizeof bytes) != SOCKET_ERROR)
      return {};
    return {::WSAGetLastError()};
  }

  bool WaitReadable(SocketHandle socket, std::uint32_t ms) override {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(static_cast<SOCKET>(socket), &readable);
    timeval timeout{static_cast<long>(ms / 1000),
                    static_cast<long>(ms % 1000) * 1000};
    return ::select(0, &readable, nullptr, nullptr, &timeout) > 0;
  }

  ReceiveOutcome Receive(SocketHandle socket, std::uint8_t* buffer,
                         int capacity) override {
    int n = ::recv(static_cast<SOCKET>(socket), reinterpret_cast<char*>(buffer),
                   capacity, 0);
    if (n != SOCKET_ERROR) return {n, {}};
    const int error = ::WSAGetLastError();
    // Winsock fills the buffer and drops the rest of a longer datagram.
    if (error == WSAEMSGSIZE) return {capacity + 1, {}};
    return {-1, {error == WSAEWOULDBLOCK ? 0 : error}};
  }

  void CloseSocket(SocketHandle socket) override {
    ::shutdown(static_cast<SOCKET>(socket), SD_BOTH);
    ::closesocket(static_cast<SOCKET>(socket));
  }
};

}  // namespace

Env* Env::Default() {
  // Holds no resource of its own: released with the library, so that a
  // host loading and unloading the plug-in leaks nothing.
  static Win32Env env;
  return &env;
}

}  // namespace pelmora

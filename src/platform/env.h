// The one seam between the plug-in's core and the operating system.
//
// Everything the core needs of the OS (time, threads, the executable's path,
// the log file, profile files, the adapter list and UDP sockets) is reached
// through Env. Exactly one implementation is compiled: posix/ or win32/.
// The service and the parts that need the OS are handed their Env; tests
// hand them an EnvWrapper that overrides what they fake.
#ifndef PELMORA_PLATFORM_ENV_H_
#define PELMORA_PLATFORM_ENV_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/manual_event.h"
#include "platform/worker_thread.h"

namespace pelmora {

// A socket handle wide enough for both a POSIX descriptor and a Winsock
// SOCKET. kInvalidSocket is what INVALID_SOCKET is on Windows.
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

// An IPv4 destination: address in network byte order, port in host order.
struct Ipv4Endpoint {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
};

struct CivilTime {
  int year, month, day, hour, minute, second;
};

// An operating-system failure carried to the place that can report it: the
// platform's own code (errno; GetLastError or WSAGetLastError), 0 for none.
struct OsError {
  int code = 0;
  bool failed() const { return code != 0; }
};

// Outcome of one sendto: bytes sent, or -1 with wouldBlock telling whether
// the socket's buffer was merely full (WSAEWOULDBLOCK / EAGAIN) and `error`
// the OS code of any other failure. `refused` marks the failures that a
// host's report about an earlier datagram (an ICMP port or host
// unreachable, which anyone can forge) makes the next send on a connected
// socket return: that report is spent by the failed call, nothing of this
// datagram went, and sending it again may well succeed.
struct SendOutcome {
  int bytes;
  bool wouldBlock;
  OsError error;
  bool refused = false;
};

// Outcome of one receive: the datagram's length (more than the buffer held
// when it was longer, its tail then lost), or -1 when nothing was waiting or
// the receive failed (a refusal the server's host reported, say).
struct ReceiveOutcome {
  int bytes;
  OsError error;
};

inline constexpr std::size_t kHmacSha256Size = 32;

// A log file held open exclusively: no other opener, in this process or
// another, gets it while this object lives. Closed on destruction.
class LogFile {
 public:
  virtual ~LogFile() = default;
  virtual bool Size(std::uint64_t* size) = 0;
  virtual bool Truncate() = 0;
  // Appends all `length` bytes at the end of the file.
  virtual bool Append(const char* data, std::size_t length) = 0;
};

class Env {
 public:
  virtual ~Env() = default;

  // The platform's own Env; lives for the whole process.
  static Env* Default();

  // --- Time. Every fixed pause of the system goes through here.
  virtual void SleepMs(std::uint32_t ms) = 0;
  // Milliseconds since some fixed moment; wraps like GetTickCount.
  virtual std::uint32_t TickCount() = 0;
  // Waits up to `ms` for `event`; returns whether it is set. A pause that
  // the stop signal may cut short is a wait on that signal.
  virtual bool WaitForEvent(const ManualEvent& event, std::uint32_t ms) = 0;
  virtual CivilTime LocalNow() = 0;

  // --- Threads. Returns null when the OS refuses a thread.
  virtual std::unique_ptr<WorkerThread> StartThread(std::function<void()> body,
                                                    bool suspended) = 0;

  // --- Files.
  // Full path of the host process's executable (not of this library), or
  // the empty text when the OS cannot say.
  virtual std::string ExecutablePath() = 0;
  // Separator between directory and file name: '\\' or '/'.
  virtual char PathSeparator() = 0;
  // Opens or creates `path` for exclusive appending without truncating it;
  // null when it cannot be opened or another opener holds it.
  virtual std::unique_ptr<LogFile> OpenLogFile(const std::string& path) = 0;

  // --- Profile (INI) files, with the rules of the Windows profile functions.
  // Reads at most 259 characters; `fallback` only when the key is missing.
  virtual std::string ReadProfileString(const std::string& file,
                                        const std::string& section,
                                        const std::string& key,
                                        const std::string& fallback) = 0;
  virtual std::uint32_t ReadProfileInt(const std::string& file,
                                       const std::string& section,
                                       const std::string& key,
                                       std::uint32_t fallback) = 0;
  // Whether a profile file can be read: no failure when it can or when it
  // is missing (both read as the Windows functions read them); otherwise
  // why not. The reads above take such a file as missing.
  virtual OsError CheckProfileReadable(const std::string& file) = 0;
  // Creates the file and section as needed; never the directory. Fails,
  // leaving the file as it was, where the file is read-only.
  virtual OsError WriteProfileEntry(const std::string& file,
                                    const std::string& section,
                                    const std::string& key,
                                    const std::string& value) = 0;
  // Where a profile file that the host names without a directory lives.
  virtual std::string HostProfilePath(const std::string& name) = 0;

  // --- Network adapters: the hardware address of each adapter, in the
  // platform's order. False (and `out` untouched) when the list cannot be had.
  virtual bool ListAdapterAddresses(
      std::vector<std::vector<std::uint8_t>>* out) = 0;

  // --- UDP sockets.
  virtual void StartSockets() = 0;    // WSAStartup(2.2) where needed
  virtual void CleanupSockets() = 0;  // balances StartSockets
  // A new non-blocking UDP socket in `socket` (a send into a full buffer
  // reports wouldBlock rather than waiting), or kInvalidSocket and the
  // failure.
  virtual OsError OpenUdpSocket(SocketHandle* socket) = 0;
  // inet_addr of the text (INADDR_NONE for a text it cannot read).
  virtual std::uint32_t ParseIpv4(const std::string& text) = 0;
  virtual OsError ConnectSocket(SocketHandle socket, Ipv4Endpoint to) = 0;
  virtual SendOutcome SendTo(SocketHandle socket, const std::uint8_t* data,
                             int length, Ipv4Endpoint to) = 0;
  // Asks the system for a receive buffer of `bytes` (it may grant less).
  virtual OsError SetReceiveBuffer(SocketHandle socket, int bytes) = 0;
  // Waits up to `ms` until a datagram, or an error to report, waits on
  // `socket`; whether one does. The stop does not end it: callers keep `ms`
  // short.
  virtual bool WaitReadable(SocketHandle socket, std::uint32_t ms) = 0;
  // One datagram from a connected socket, without waiting: only the peer
  // it was connected to can have sent it.
  virtual ReceiveOutcome Receive(SocketHandle socket, std::uint8_t* buffer,
                                 int capacity) = 0;
  // shutdown(both) and close.
  virtual void CloseSocket(SocketHandle socket) = 0;

  // --- Cryptography, from the system's own library (OpenSSL's libcrypto,
  // CNG): nothing of it is written here.
  // `length` bytes from the system's cryptographic random source; false,
  // and `out` unusable, when the source failed.
  virtual bool RandomBytes(std::uint8_t* out, std::size_t length) = 0;
  // HMAC-SHA256 of `data` under `key` into `mac`; false when the library
  // failed.
  virtual bool HmacSha256(const std::uint8_t* key, std::size_t keyLength,
                          const std::uint8_t* data, std::size_t length,
                          std::uint8_t mac[kHmacSha256Size]) = 0;
};

// Forwards every call to a target; tests derive from it and override what
// they fake.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  void SleepMs(std::uint32_t ms) override { target_->SleepMs(ms); }
  std::uint32_t TickCount() override { return target_->TickCount(); }
  bool WaitForEvent(const ManualEvent& event, std::uint32_t ms) override {
    return target_->WaitForEvent(event, ms);
  }
  CivilTime LocalNow() override { return target_->LocalNow(); }
  std::unique_ptr<WorkerThread> StartThread(std::function<void()> body,
                                            bool suspended) override {
    return target_->StartThread(std::move(body), suspended);
  }
  std::string ExecutablePath() override { return target_->ExecutablePath(); }
  char PathSeparator() override { return target_->PathSeparator(); }
  std::unique_ptr<LogFile> OpenLogFile(const std::string& path) override {
    return target_->OpenLogFile(path);
  }
  std::string ReadProfileString(const std::string& file,
                                const std::string& section,
                                const std::string& key,
                                const std::string& fallback) override {
    return target_->ReadProfileString(file, section, key, fallback);
  }
  std::uint32_t ReadProfileInt(const std::string& file,
                               const std::string& section,
                               const std::string& key,
                               std::uint32_t fallback) override {
    return target_->ReadProfileInt(file, section, key, fallback);
  }
  OsError CheckProfileReadable(const std::string& file) override {
    return target_->CheckProfileReadable(file);
  }
  OsError WriteProfileEntry(const std::string& file, const std::string& section,
                            const std::string& key,
                            const std::string& value) override {
    return target_->WriteProfileEntry(file, section, key, value);
  }
  std::string HostProfilePath(const std::string& name) override {
    return target_->HostProfilePath(name);
  }
  bool ListAdapterAddresses(
      std::vector<std::vector<std::uint8_t>>* out) override {
    return target_->ListAdapterAddresses(out);
  }
  void StartSockets() override { target_->StartSockets(); }
  void CleanupSockets() override { target_->CleanupSockets(); }
  OsError OpenUdpSocket(SocketHandle* socket) override {
    return target_->OpenUdpSocket(socket);
  }
  std::uint32_t ParseIpv4(const std::string& text) override {
    return target_->ParseIpv4(text);
  }
  OsError ConnectSocket(SocketHandle socket, Ipv4Endpoint to) override {
    return target_->ConnectSocket(socket, to);
  }
  SendOutcome SendTo(SocketHandle socket, const std::uint8_t* data, int length,
                     Ipv4Endpoint to) override {
    return target_->SendTo(socket, data, length, to);
  }
  OsError SetReceiveBuffer(SocketHandle socket, int bytes) override {
    return target_->SetReceiveBuffer(socket, bytes);
  }
  bool WaitReadable(SocketHandle socket, std::uint32_t ms) override {
    return target_->WaitReadable(socket, ms);
  }
  ReceiveOutcome Receive(SocketHandle socket, std::uint8_t* buffer,
                         int capacity) override {
    return target_->Receive(socket, buffer, capacity);
  }
  void CloseSocket(SocketHandle socket) override {
    target_->CloseSocket(socket);
  }
  bool RandomBytes(std::uint8_t* out, std::size_t length) override {
    return target_->RandomBytes(out, length);
  }
  bool HmacSha256(const std::uint8_t* key, std::size_t keyLength,
                  const std::uint8_t* data, std::size_t length,
                  std::uint8_t mac[kHmacSha256Size]) override {
    return target_->HmacSha256(key, keyLength, data, length, mac);
  }

 private:
  Env* target_;
};

}  // namespace pelmora

#endif  // PELMORA_PLATFORM_ENV_H_

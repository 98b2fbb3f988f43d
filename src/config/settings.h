// The service's settings: the server's address and port, the station MAC
// and the Count value from Pelmora.ini (section SERVERSET), and the point
// table's HashSize from the host's Module.ini (section OutLink).
#ifndef PELMORA_CONFIG_SETTINGS_H_
#define PELMORA_CONFIG_SETTINGS_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "config/service_log.h"
#include "platform/env.h"
#include "sync/mutex.h"

namespace pelmora {

inline constexpr std::uint32_t kDefaultServerPort = 7000;
inline constexpr std::uint32_t kDefaultHashSize = 2001;

using MacBytes = std::array<std::uint8_t, 6>;
// The station's key for signed commands: KEY of section COMMAND, 64
// hexadecimal digits.
using CommandKey = std::array<std::uint8_t, 32>;

// Every accessor may be called from any thread: the dialog replaces address
// and port while the send path reads them.
class Settings {
 public:
  // The configuration file lives in the log's configuration directory.
  Settings(Env& env, const ServiceLog& log);

  // Reads Pelmora.ini and Module.ini. With no MAC configured (or the
  // all-zero text) the first adapter's is taken and the file written, so
  // that later starts need not ask the adapters again. A file that cannot
  // be read gives the defaults, like a missing one, and a log line.
  void Load() EXCLUDES(mutex_);
  // Writes MAC, ADDR, PORT and COUNT to Pelmora.ini; a failure (a read-only
  // file) leaves the settings in effect unsaved.
  void Save() EXCLUDES(mutex_);

  void SetServerAddress(std::string text) EXCLUDES(mutex_);
  std::string GetServerAddress() const EXCLUDES(mutex_);
  // Kept as given; the destination uses its low 16 bits.
  void SetServerPort(std::uint32_t port) EXCLUDES(mutex_);
  std::uint32_t GetServerPort() const EXCLUDES(mutex_);
  // Where datagrams go, as address and port give it now.
  Ipv4Endpoint ServerEndpoint() const EXCLUDES(mutex_);

  // The station MAC as text, and the six bytes scanned from it.
  void SetMacText(std::string text) EXCLUDES(mutex_);
  std::string GetMacText() const EXCLUDES(mutex_);
  MacBytes macBytes() const EXCLUDES(mutex_);

  // The key of signed commands; none (commands off) when it is missing or
  // malformed, the latter logged. Read by Load only.
  std::optional<CommandKey> commandKey() const EXCLUDES(mutex_);

  std::uint32_t countSetting() const EXCLUDES(mutex_);
  std::uint32_t hashSize() const EXCLUDES(mutex_);

 private:
  // Reads as missing a file that exists but cannot be read, and says so.
  void CheckReadable(const std::string& file) const;
  void LoadCommandKey() EXCLUDES(mutex_);

  Env& env_;
  const ServiceLog& log_;
  const std::string file_;  // Pelmora.ini

  mutable Mutex mutex_;
  std::string serverAddress_ GUARDED_BY(mutex_);
  std::uint32_t serverPort_ GUARDED_BY(mutex_) = kDefaultServerPort;
  Ipv4Endpoint serverEndpoint_ GUARDED_BY(mutex_);
  std::string macText_ GUARDED_BY(mutex_);
  MacBytes macBytes_ GUARDED_BY(mutex_) = {};
  std::optional<CommandKey> commandKey_ GUARDED_BY(mutex_);
  std::uint32_t countSetting_ GUARDED_BY(mutex_) = 5;
  std::uint32_t hashSize_ GUARDED_BY(mutex_) = kDefaultHashSize;
};

}  // namespace pelmora

#endif  // PELMORA_CONFIG_SETTINGS_H_

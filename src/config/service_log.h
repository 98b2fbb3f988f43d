// The service's log file, "Pelmora.log" in the configuration directory, and
// the configuration directory itself.
#ifndef PELMORA_CONFIG_SERVICE_LOG_H_
#define PELMORA_CONFIG_SERVICE_LOG_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/sync.h"

namespace pelmora {

class Env;

// Serialises all log writing in the process; lives as long as the library.
// Innermost lock: nothing else is taken while it is held.
extern Mutex LogLock;

// A file longer than this when a line is about to be written is emptied.
inline constexpr std::uint64_t kLogSizeLimit = 1048576;

// The host executable's directory followed by the separator and "Drivers".
// A path without any separator gives "<separator>Drivers".
std::string FindConfigDir(Env& env);

// At most `maxBytes` bytes of a host's text for a log line, cut before a
// double-byte character of the host's code page rather than through it.
std::string ShortenForLog(std::string_view text, std::size_t maxBytes);

class ServiceLog {
 public:
  ServiceLog(Env& env, std::string configDir)
      : env_(env), configDir_(std::move(configDir)) {}

  // Appends one line "YYYY-MM-DD hh:mm:ss: <text>\r\n" to
  // configDir/Pelmora.log: open exclusively, empty the file when it is
  // longer than kLogSizeLimit, append, close. Any failure drops the line
  // silently. Any thread.
  void Log(std::string_view text) const EXCLUDES(LogLock);

  const std::string& configDir() const { return configDir_; }
  // configDir, the separator and `name`.
  std::string PathOf(const std::string& name) const;

 private:
  Env& env_;
  const std::string configDir_;
};

}  // namespace pelmora

#endif  // PELMORA_CONFIG_SERVICE_LOG_H_

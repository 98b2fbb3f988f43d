// The service's log file, "Pelmora.log" in the configuration directory, and
// the configuration directory itself.
#ifndef PELMORA_CONFIG_SERVICE_LOG_H_
#define PELMORA_CONFIG_SERVICE_LOG_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/env.h"
#include "sync/mutex.h"

namespace pelmora {

// Serialises all log writing in the process; lives as long as the library.
// Innermost lock: nothing else is taken while it is held.
extern Mutex LogLock;

// A file longer than this when a line is about to be written is emptied.
inline constexpr std::uint64_t kLogSizeLimit = 1048576;

// The host executable's directory followed by the separator and "Drivers".
// A path without any separator gives "<separator>Drivers".
std::string FindConfigDir(Env& env);

// A log message's format filled in, printf-style, whatever its length.
std::string FormatLogLine(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// A host's text (a point name, a value) as a log line may show it, so that
// no text can end a line or forge one and the original bytes can be read
// back: control bytes (0x00-0x1F, 0x7F) and GBK lead bytes (0x81-0xFE)
// that no trail byte follows are written as \xNN, a backslash as \\, and
// double-byte characters of the host's code page (a lead byte, then a
// trail byte 0x40-0x7E or 0x80-0xFE) as they are. At most `maxBytes` bytes
// of the text are shown, cut before a double-byte character rather than
// through it.
std::string HostTextForLog(std::string_view text,
                           std::size_t maxBytes = std::string_view::npos);

// A file path as a log line shows it: as HostTextForLog, except that a
// backslash, the Windows separator, stays as it is, so that the path reads
// as the system writes it.
std::string PathForLog(std::string_view path);

class ServiceLog {
 public:
  ServiceLog(Env& env, std::string configDir)
      : env_(env), configDir_(std::move(configDir)) {}

  // Appends one line "YYYY-MM-DD hh:mm:ss: <text>\r\n" to
  // configDir/Pelmora.log: open exclusively, empty the file when it is
  // longer than kLogSizeLimit, append, close. Any failure drops the line
  // silently. Any thread.
  void Log(std::string_view text) const EXCLUDES(LogLock);
  // A failure's line, followed by the OS code's line when the OS gave one.
  void LogFailure(std::string_view text, OsError error) const EXCLUDES(LogLock);

  const std::string& configDir() const { return configDir_; }
  // configDir, the separator and `name`.
  std::string PathOf(const std::string& name) const;

 private:
  Env& env_;
  const std::string configDir_;
};

}  // namespace pelmora

#endif  // PELMORA_CONFIG_SERVICE_LOG_H_

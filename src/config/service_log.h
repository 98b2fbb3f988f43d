// The service's log file, "Pelmora.log" in the configuration directory, and
// the configuration directory itself.
#ifndef PELMORA_CONFIG_SERVICE_LOG_H_
#define PELMORA_CONFIG_SERVICE_LOG_H_

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace pelmora {

class Env;

// Serialises all log writing in the process; lives as long as the library.
// Innermost lock: nothing else is taken while it is held.
extern std::mutex LogLock;

// A file longer than this when a line is about to be written is emptied.
inline constexpr std::uint64_t kLogSizeLimit = 1048576;

// The host executable's directory followed by the separator and "Drivers".
// A path without any separator gives "<separator>Drivers".
std::string FindConfigDir(Env* env);

// Appends one line "YYYY-MM-DD hh:mm:ss: <text>\r\n" to
// `configDir`/Pelmora.log: open exclusively, empty the file when it is
// longer than kLogSizeLimit, append, close. Any failure drops the line
// silently. Takes LogLock; callable from any thread.
void WriteLogLine(Env* env, const std::string& configDir,
                  std::string_view text);

}  // namespace pelmora

#endif  // PELMORA_CONFIG_SERVICE_LOG_H_

#include "config/service_log.h"

#include <cstdio>

#include "platform/env.h"

namespace pelmora {

std::mutex LogLock;

std::string FindConfigDir(Env* env) {
  const char separator = env->PathSeparator();
  std::string path = env->ExecutablePath();
  std::size_t last = path.rfind(separator);
  std::string dir =
      last == std::string::npos ? std::string() : path.substr(0, last);
  dir += separator;
  dir += "Drivers";
  return dir;
}

void WriteLogLine(Env* env, const std::string& configDir,
                  std::string_view text) {
  std::lock_guard<std::mutex> hold(LogLock);
  try {
    std::string path = configDir + env->PathSeparator() + "Pelmora.log";
    auto file = env->OpenLogFile(path);
    if (!file) return;
    std::uint64_t size = 0;
    if (!file->Size(&size)) return;
    if (size > kLogSizeLimit && !file->Truncate()) return;
    CivilTime now = env->LocalNow();
    char stamp[32];
    int n = std::snprintf(stamp, sizeof stamp,
                          "%04d-%02d-%02d %02d:%02d:%02d: ", now.year,
                          now.month, now.day, now.hour, now.minute, now.second);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof stamp) return;
    std::string line;
    line.reserve(static_cast<std::size_t>(n) + text.size() + 2);
    line.append(stamp, static_cast<std::size_t>(n));
    line.append(text);
    line.append("\r\n");
    file->Append(line.data(), line.size());
  } catch (...) {
    // A line that cannot be formed (no memory) is lost like one that cannot
    // be written; the caller is never told.
  }
}

}  // namespace pelmora

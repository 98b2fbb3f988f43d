#include "config/service_log.h"

#include <cstdio>

#include "platform/env.h"

namespace pelmora {

Mutex LogLock;

std::string FindConfigDir(Env& env) {
  const char separator = env.PathSeparator();
  std::string path = env.ExecutablePath();
  std::size_t last = path.rfind(separator);
  std::string dir =
      last == std::string::npos ? std::string() : path.substr(0, last);
  dir += separator;
  dir += "Drivers";
  return dir;
}

std::string ShortenForLog(std::string_view text, std::size_t maxBytes) {
  std::size_t end = 0;
  while (end < text.size()) {
    // A lead byte of the double-byte code page takes its trail byte along.
    const auto c = static_cast<unsigned char>(text[end]);
    const std::size_t width =
        c >= 0x81 && c <= 0xFE && end + 1 < text.size() ? 2 : 1;
    if (end + width > maxBytes) break;
    end += width;
  }
  return std::string(text.substr(0, end));
}

std::string ServiceLog::PathOf(const std::string& name) const {
  return configDir_ + env_.PathSeparator() + name;
}

void ServiceLog::Log(std::string_view text) const {
  Locked<Mutex> hold(LogLock);
  try {
    auto file = env_.OpenLogFile(PathOf("Pelmora.log"));
    if (!file) return;
    std::uint64_t size = 0;
    if (!file->Size(&size)) return;
    if (size > kLogSizeLimit && !file->Truncate()) return;
    CivilTime now = env_.LocalNow();
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

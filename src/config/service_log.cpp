#include "config/service_log.h"

#include <cstdarg>
#include <cstdio>

#include "config/log_messages.h"
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

std::string FormatLogLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string line(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(&line[0], line.size() + 1, format, again);
  va_end(again);
  return line;
}

namespace {

bool IsGbkLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
bool IsGbkTrail(unsigned char c) {
  return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFE);
}

std::string ShownForLog(std::string_view text, std::size_t maxBytes,
                        bool backslashAsIs) {
  std::string shown;
  for (std::size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    const bool pair = IsGbkLead(c) && at + 1 < text.size() &&
                      IsGbkTrail(static_cast<unsigned char>(text[at + 1]));
    const std::size_t width = pair ? 2 : 1;
    if (at + width > maxBytes) break;
    if (pair) {
      shown.append(text.substr(at, 2));
    } else if (c == '\\') {
      shown += backslashAsIs ? "\\" : "\\\\";
    } else if (c < 0x20 || c == 0x7F || IsGbkLead(c)) {
      // A lead byte with no trail is escaped too: written as it is, a
      // reader would pair it with the byte after it, which may be the
      // backslash of the next escape.
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      shown += escaped;
    } else {
      shown += static_cast<char>(c);
    }
    at += width;
  }
  return shown;
}

}  // namespace

std::string HostTextForLog(std::string_view text, std::size_t maxBytes) {
  return ShownForLog(text, maxBytes, false);
}

std::string PathForLog(std::string_view path) {
  return ShownForLog(path, std::string_view::npos, true);
}

std::string ServiceLog::PathOf(const std::string& name) const {
  return configDir_ + env_.PathSeparator() + name;
}

void ServiceLog::LogFailure(std::string_view text, OsError error) const {
  Log(text);
  if (error.failed())
    Log(FormatLogLine(messages::kOsErrorCodeFormat, error.code));
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

// The model is the one the Windows profile functions use: every non-blank
// line is either a section header or an entry of the section above it (the
// lines before the first header form a nameless section). Comment lines are
// not special: ";x=1" is simply an entry named ";x", which no ordinary key
// name can match. Reads look names up in that model; writes edit the text of
// the one line concerned so that the rest of a hand-edited file survives.
#include "platform/posix/profile_file_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string_view>

namespace pelmora::profile {
namespace {

// GetPrivateProfileStringA is called with a buffer of this size.
constexpr std::size_t kStringBuffer = 260;
// GetPrivateProfileIntA reads the value through a buffer of this size, so a
// number written with more than 29 characters is cut before it is parsed.
constexpr std::size_t kIntBuffer = 30;

// The blanks Windows trims around names and values; Ctrl-Z is among them
// because old editors ended files with it.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r' || c == '\x1a';
}

std::string TrimLeft(const std::string& text) {
  std::size_t begin = 0;
  while (begin < text.size() && IsBlank(text[begin])) ++begin;
  return text.substr(begin);
}

std::string_view Trim(std::string_view text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

// Only ASCII letters fold: bytes above 0x7F are compared as they are, which
// is what the Windows functions do with accented letters of the ANSI code
// page, and it cannot split a UTF-8 sequence.
bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// One non-blank line of a profile file, its texts viewing the file's text.
struct Line {
  bool isHeader = false;
  std::string_view name;           // the section's or the entry's, trimmed
  bool hasValue = false;           // an entry line without '=' has no value
  std::string_view value;          // trimmed, quotes still on
  std::size_t begin = 0, end = 0;  // the line without its line end
  std::size_t next = 0;            // offset of the following line
};

// Where the lines start: past a UTF-8 byte order mark.
std::size_t TextStart(std::string_view text) {
  return text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
}

// Hands each non-blank line to visit(line) in order, until visit returns
// false. One pass over the text; nothing is copied.
template <typename Visit>
void ForEachLine(std::string_view t, Visit&& visit) {
  std::size_t pos = TextStart(t);
  while (pos < t.size()) {
    std::size_t end = t.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = t.size();
    std::size_t next = end;
    if (next < t.size())
      next += (t[next] == '\r' && next + 1 < t.size() && t[next + 1] == '\n')
                  ? 2
                  : 1;
    Line line;
    line.begin = pos;
    line.end = end;
    line.next = next;
    pos = next;
    const std::string_view text = Trim(t.substr(line.begin, end - line.begin));
    if (text.empty()) continue;
    const std::size_t close = text.rfind(']');
    if (text[0] == '[' && close != std::string_view::npos) {
      line.isHeader = true;
      line.name = Trim(text.substr(1, close - 1));
    } else {
      const std::size_t equals = text.find('=');
      line.name = Trim(text.substr(0, equals));
      if (equals != std::string_view::npos) {
        line.hasValue = true;
        line.value = Trim(text.substr(equals + 1));
      }
    }
    if (!visit(line)) return;
  }
}

// The first section of a name holds the entries looked up under it; later
// ones of the same name are ignored, and within a section the first key of
// a name wins. The lines before the first header form a nameless section.
// Calls found(line) with the key's line; false when there is none.
template <typename Found>
bool FindEntryLine(std::string_view text, const std::string& section,
                   const std::string& key, Found&& found) {
  const std::string_view wantedSection = Trim(section);
  const std::string_view wantedKey = Trim(key);
  bool inSection = wantedSection.empty();
  bool hit = false;
  ForEachLine(text, [&](const Line& line) {
    if (line.isHeader) {
      if (inSection) return false;  // the first such section has ended
      inSection = SameName(line.name, wantedSection);
      return true;
    }
    if (!inSection || !SameName(line.name, wantedKey)) return true;
    hit = true;
    found(line);
    return false;
  });
  return hit;
}

// Where a write lands: the key's line, or else the end of the section's
// last entry (or of its header), or nothing when the section is missing.
struct WritePlace {
  bool sectionFound = false;
  bool entryFound = false;
  Line entry;
  std::size_t append = 0;
};

WritePlace FindWritePlace(std::string_view text, const std::string& section,
                          const std::string& key) {
  WritePlace place;
  const std::string_view wantedSection = Trim(section);
  const std::string_view wantedKey = Trim(key);
  bool inSection = wantedSection.empty();
  if (inSection) {
    place.sectionFound = true;
    place.append = TextStart(text);
  }
  ForEachLine(text, [&](const Line& line) {
    if (line.isHeader) {
      if (inSection) return false;
      inSection = SameName(line.name, wantedSection);
      if (inSection) {
        place.sectionFound = true;
        place.append = line.next;
      }
      return true;
    }
    if (!inSection) return true;
    if (SameName(line.name, wantedKey)) {
      place.entryFound = true;
      place.entry = line;
      return false;
    }
    place.append = line.next;
    return true;
  });
  return place;
}

// 0 with the whole file in `text`, or the errno that kept it from being
// read: ENOENT when it is missing, EISDIR when it is no regular file.
int ReadWholeFile(const std::string& path, std::string* text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st;
  int error = ::fstat(fd, &st) != 0 ? errno : 0;
  if (error == 0 && !S_ISREG(st.st_mode)) error = EISDIR;
  text->clear();
  if (error == 0) text->resize(static_cast<std::size_t>(st.st_size));
  std::size_t done = 0;
  while (error == 0) {
    if (done == text->size()) text->resize(done + 4096);  // it grew
    const ssize_t n = ::read(fd, &(*text)[done], text->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  text->resize(error == 0 ? done : 0);
  return error;
}

// The value of the key, or false when the file, section or key is missing or
// the key's line has no '='. A file that cannot be read counts as missing.
bool FindValue(const std::string& file, const std::string& section,
               const std::string& key, std::string* value) {
  std::string text;
  if (ReadWholeFile(file, &text) != 0) return false;
  bool hasValue = false;
  FindEntryLine(text, section, key, [&](const Line& line) {
    hasValue = line.hasValue;
    if (hasValue) value->assign(line.value);
  });
  return hasValue;
}

// What the caller's buffer receives: matching quotes at both ends come off,
// then the text is cut to leave room for the terminating zero. Cutting
// only after the quotes are gone keeps a quoted text of 259 characters
// whole, where Wine loses its last character.
std::string CopyOut(const std::string& value, std::size_t buffer) {
  std::string out = value;
  if (out.size() >= 2 && (out[0] == '"' || out[0] == '\'') &&
      out.back() == out[0]) {
    out = out.substr(1, out.size() - 2);
  }
  if (out.size() > buffer - 1) out.resize(buffer - 1);
  return out;
}

// Trailing spaces (only spaces) come off a fallback, but never its first
// character.
std::string TrimFallback(const std::string& fallback) {
  std::size_t end = fallback.size();
  while (end > 1 && fallback[end - 1] == ' ') --end;
  return fallback.substr(0, end);
}

// As RtlUnicodeStringToInteger with base 0: blanks and control characters
// skipped, an optional sign, then "0x", "0o" or "0b" (lower case only)
// choose the base; digits are taken up to the first that does not belong,
// and the sum wraps at 32 bits.
std::uint32_t ParseNumber(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) <= ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::uint32_t base = 10;
  if (i + 1 < text.size() && text[i] == '0') {
    switch (text[i + 1]) {
      case 'b':
        base = 2;
        break;
      case 'o':
        base = 8;
        break;
      case 'x':
        base = 16;
        break;
      default:
        break;
    }
    if (base != 10) i += 2;
  }
  std::uint32_t total = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    std::uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'z') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'Z') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      break;
    }
    if (digit >= base) break;
    total = total * base + digit;
  }
  return negative ? 0u - total : total;
}

// New lines follow the file's own line ends: LF when its first line ends in
// a bare LF, otherwise (and for a new file) CRLF as Windows writes.
std::string LineEnd(const std::string& text) {
  std::size_t first = text.find('\n', TextStart(text));
  if (first != std::string::npos && (first == 0 || text[first - 1] != '\r'))
    return "\n";
  return "\r\n";
}

// Inserts whole lines at `offset`, first ending the line before it when
// that was the file's last and had no line end.
void InsertLines(std::string& text, std::size_t offset, std::string lines,
                 const std::string& eol) {
  const bool endsLine = offset <= TextStart(text) || text[offset - 1] == '\n' ||
                        text[offset - 1] == '\r';
  if (!endsLine) lines = eol + lines;
  text.insert(offset, lines);
}

// Where the file really is, so that replacing a symbolic link's target
// keeps the link.
std::string ResolvedPath(const std::string& file) {
  struct stat st;
  if (::lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return file;
  char* real = ::realpath(file.c_str(), nullptr);
  if (real == nullptr) return file;
  std::string resolved(real);
  std::free(real);
  return resolved;
}

bool WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Writes the new contents beside the file, makes them durable, then renames
// over it: a crash leaves either the old or the new configuration, never a
// mixture. An existing file keeps its permission bits, given to the new one
// only once its bytes are in: until then it is its owner's alone, since it
// may hold the station's command key and whoever opens a file keeps what
// its mode allowed at that moment.
bool ReplaceFile(const std::string& path, const std::string& contents,
                 const struct stat* old) {
  static std::atomic<unsigned> counter{0};
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  if (dir.empty()) dir = "/";

  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = path + ".tmp" + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1));
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                old == nullptr ? 0666 : 0600);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;

  bool ok = WriteAll(fd, contents) &&
            (old == nullptr || ::fchmod(fd, old->st_mode & 07777) == 0) &&
            ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself must reach the disk too.
  int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

}  // namespace

int ReadError(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? 0 : errno;
  struct stat st;
  int error = ::fstat(fd, &st) != 0 ? errno : 0;
  if (error == 0 && !S_ISREG(st.st_mode)) error = EISDIR;
  ::close(fd);
  return error;
}

std::string ReadString(const std::string& file, const std::string& section,
                       const std::string& key, const std::string& fallback) {
  std::string value;
  if (FindValue(file, section, key, &value))
    return CopyOut(value, kStringBuffer);
  return CopyOut(TrimFallback(fallback), kStringBuffer);
}

std::uint32_t ReadInt(const std::string& file, const std::string& section,
                      const std::string& key, std::uint32_t fallback) {
  std::string value;
  if (!FindValue(file, section, key, &value)) return fallback;
  std::string text = CopyOut(value, kIntBuffer);
  // An empty value counts as no value at all.
  if (text.empty()) return fallback;
  return ParseNumber(text);
}

bool WriteString(const std::string& file, const std::string& section,
                 const std::string& key, const std::string& value) {
  // Each write reads, edits and replaces the whole file; two at once would
  // lose one of them. Windows holds one lock over all its profile calls too.
  static std::mutex writing;
  std::lock_guard<std::mutex> lock(writing);
  std::string path = ResolvedPath(file);
  struct stat old;
  bool exists = ::stat(path.c_str(), &old) == 0;
  if (exists && !S_ISREG(old.st_mode)) return false;
  // A read-only file stays as it is, as the Windows function leaves one: the
  // rename below would otherwise replace it, whoever owns it.
  if (exists &&
      ((old.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0)) {
    errno = EACCES;
    return false;
  }
  std::string text;
  if (exists && ReadWholeFile(path, &text) != 0) return false;

  const std::string eol = LineEnd(text);
  // Leading blanks of what is written go, trailing ones stay, as with the
  // Windows function; reading trims them anyway.
  const std::string newValue = TrimLeft(value);

  const WritePlace place = FindWritePlace(text, section, key);
  if (!place.sectionFound) {
    InsertLines(text, text.size(),
                "[" + TrimLeft(section) + "]" + eol + TrimLeft(key) + "=" +
                    newValue + eol,
                eol);
  } else if (place.entryFound) {
    // The same value again changes nothing, not even the file's layout.
    if (place.entry.hasValue && place.entry.value == newValue) return true;
    text.replace(place.entry.begin, place.entry.end - place.entry.begin,
                 std::string(place.entry.name) + "=" + newValue);
  } else {
    InsertLines(text, place.append, TrimLeft(key) + "=" + newValue + eol, eol);
  }
  return ReplaceFile(path, text, exists ? &old : nullptr);
}

}  // namespace pelmora::profile

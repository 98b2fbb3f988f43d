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
#include <fstream>
#include <iterator>
#include <mutex>
#include <vector>

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

std::string Trim(const std::string& text, std::size_t begin, std::size_t end) {
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

std::string Trim(const std::string& text) { return Trim(text, 0, text.size()); }

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

// Only ASCII letters fold: bytes above 0x7F are compared as they are, which
// is what the Windows functions do with accented letters of the ANSI code
// page, and it cannot split a UTF-8 sequence.
bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

struct Entry {
  std::string name;
  bool hasValue = false;  // a line without '=' has a name but no value
  std::string value;      // trimmed, quotes still on
  std::size_t lineBegin = 0, lineEnd = 0;  // the line without its line end
  std::size_t next = 0;                    // offset of the following line
};

struct Section {
  std::string name;
  std::size_t next = 0;  // offset of the line after the header
  std::vector<Entry> entries;
};

struct Document {
  std::string text;
  std::size_t start = 0;          // past a UTF-8 byte order mark
  std::vector<Section> sections;  // [0] is the nameless one
};

Document Parse(std::string text) {
  Document doc;
  doc.text = std::move(text);
  const std::string& t = doc.text;
  if (t.compare(0, 3, "\xEF\xBB\xBF") == 0) doc.start = 3;
  doc.sections.emplace_back();
  doc.sections[0].next = doc.start;

  std::size_t pos = doc.start;
  while (pos < t.size()) {
    std::size_t end = t.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = t.size();
    std::size_t next = end;
    if (next < t.size())
      next += (t[next] == '\r' && next + 1 < t.size() && t[next + 1] == '\n')
                  ? 2
                  : 1;
    std::size_t begin = pos;
    pos = next;
    std::string line = Trim(t, begin, end);
    if (line.empty()) continue;

    std::size_t close = line.rfind(']');
    if (line[0] == '[' && close != std::string::npos) {
      Section section;
      section.name = Trim(line, 1, close);
      section.next = next;
      doc.sections.push_back(std::move(section));
      continue;
    }
    Entry entry;
    std::size_t equals = line.find('=');
    entry.name = Trim(line, 0, std::min(equals, line.size()));
    if (equals != std::string::npos) {
      entry.hasValue = true;
      entry.value = Trim(line, equals + 1, line.size());
    }
    entry.lineBegin = begin;
    entry.lineEnd = end;
    entry.next = next;
    doc.sections.back().entries.push_back(std::move(entry));
  }
  return doc;
}

// Names given by the caller are looked up without their surrounding blanks;
// the first section of a name wins, and within it the first key.
Section* FindSection(Document& doc, const std::string& name) {
  std::string wanted = Trim(name);
  for (Section& section : doc.sections) {
    if (SameName(section.name, wanted)) return &section;
  }
  return nullptr;
}

Entry* FindEntry(Section& section, const std::string& name) {
  std::string wanted = Trim(name);
  for (Entry& entry : section.entries) {
    if (SameName(entry.name, wanted)) return &entry;
  }
  return nullptr;
}

bool ReadWholeFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  text->assign(std::istreambuf_iterator<char>(in),
               std::istreambuf_iterator<char>());
  return !in.bad();
}

// The value of the key, or false when the file, section or key is missing or
// the key's line has no '='.
bool FindValue(const std::string& file, const std::string& section,
               const std::string& key, std::string* value) {
  std::string text;
  if (!ReadWholeFile(file, &text)) return false;
  Document doc = Parse(std::move(text));
  Section* found = FindSection(doc, section);
  if (found == nullptr) return false;
  Entry* entry = FindEntry(*found, key);
  if (entry == nullptr || !entry->hasValue) return false;
  *value = entry->value;
  return true;
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
std::string LineEnd(const Document& doc) {
  std::size_t first = doc.text.find('\n', doc.start);
  if (first != std::string::npos && (first == 0 || doc.text[first - 1] != '\r'))
    return "\n";
  return "\r\n";
}

bool EndsLine(const std::string& text, std::size_t offset) {
  char before = text[offset - 1];
  return before == '\n' || before == '\r';
}

// Inserts whole lines at `offset`, first ending the line before it when
// that was the file's last and had no line end.
void InsertLines(Document& doc, std::size_t offset, std::string lines,
                 const std::string& eol) {
  if (offset > doc.start && !EndsLine(doc.text, offset)) lines = eol + lines;
  doc.text.insert(offset, lines);
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
// mixture. An existing file keeps its permission bits.
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
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;

  bool ok = (old == nullptr || ::fchmod(fd, old->st_mode & 07777) == 0) &&
            WriteAll(fd, contents) && ::fsync(fd) == 0;
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
  if (exists && !ReadWholeFile(path, &text)) return false;

  Document doc = Parse(std::move(text));
  const std::string eol = LineEnd(doc);
  // Leading blanks of what is written go, trailing ones stay, as with the
  // Windows function; reading trims them anyway.
  const std::string newValue = TrimLeft(value);

  Section* target = FindSection(doc, section);
  if (target == nullptr) {
    InsertLines(doc, doc.text.size(),
                "[" + TrimLeft(section) + "]" + eol + TrimLeft(key) + "=" +
                    newValue + eol,
                eol);
  } else if (Entry* entry = FindEntry(*target, key)) {
    // The same value again changes nothing, not even the file's layout.
    if (entry->hasValue && entry->value == newValue) return true;
    doc.text.replace(entry->lineBegin, entry->lineEnd - entry->lineBegin,
                     entry->name + "=" + newValue);
  } else {
    std::size_t offset =
        target->entries.empty() ? target->next : target->entries.back().next;
    InsertLines(doc, offset, TrimLeft(key) + "=" + newValue + eol, eol);
  }
  return ReplaceFile(path, doc.text, exists ? &old : nullptr);
}

}  // namespace pelmora::profile

// The POSIX profile-file reader and writer on a random file and one random
// write: the written key then reads back as written, and every other key
// reads as it did before.
//
// An input is three lines, the section, key and value of the write, and
// then the bytes of the file.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/posix/profile_file_posix.h"

namespace {

namespace profile = pelmora::profile;

// What every read gives for a name that is missing.
const std::string kMissing = "\x01missing";

// The blanks that profile names and values lose at both ends.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r' || c == '\x1a';
}

std::string Trim(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Section and key names match without their blanks and without the case of
// ASCII letters.
std::string NameForm(const std::string& name) {
  std::string form = Trim(name);
  for (char& c : form)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return form;
}

// A directory of its own for the file, on tmpfs where there is one: every
// write makes its file durable, which on a disk would set the pace.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern =
        (std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") +
        std::string("/pelmora-profile-fuzz-XXXXXX");
    if (::mkdtemp(&pattern[0]) == nullptr) std::abort();
    path_ = pattern;
  }
  ~ScratchDir() { std::filesystem::remove_all(path_); }
  std::string File() const { return path_ + "/p.ini"; }

 private:
  std::string path_;
};

// The names the file mentions, by a rough reading of its lines: the text in
// brackets of a line that starts with '[', the text before '=' of any other
// line. Rough is enough: every name is read before and after the write by
// the same functions, so one the file does not really hold reads as
// missing both times.
void MentionedNames(const std::string& file, std::vector<std::string>* sections,
                    std::vector<std::string>* keys) {
  constexpr std::size_t kMostNames = 6;
  std::size_t pos = 0;
  while (pos < file.size()) {
    std::size_t end = file.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = file.size();
    const std::string line = Trim(file.substr(pos, end - pos));
    pos = end + 1;
    const std::size_t close = line.rfind(']');
    if (!line.empty() && line[0] == '[' && close != std::string::npos) {
      if (sections->size() < kMostNames)
        sections->push_back(line.substr(1, close - 1));
    } else if (keys->size() < kMostNames) {
      keys->push_back(line.substr(0, line.find('=')));
    }
  }
}

// Writes that make more or other lines than the one entry they are for,
// which the property does not cover:
// - a CR in any part: a line end, so the entry's line ends there;
// - a '=' in the key: the first '=' of a line ends its name, so the line
//   names another key;
// - a key that starts with '[': its line reads as a section header when
//   a ']' follows anywhere on it;
// - a key that starts with the UTF-8 byte order mark: written at the very
//   start of a file, the mark is taken for the file's own and skipped.
bool WritesOneEntry(const std::string& section, const std::string& key,
                    const std::string& value) {
  const std::string name = Trim(key);
  return (section + key + value).find('\r') == std::string::npos &&
         key.find('=') == std::string::npos &&
         (name.empty() || name[0] != '[') &&
         name.compare(0, 3, "\xEF\xBB\xBF") != 0;
}

// Values that read back other than written, by the rules of the Windows
// functions: blanks at either end are trimmed away, a pair of matching
// quotes around the value comes off, and a read gives at most 259 bytes.
bool ReadsBackAsWritten(const std::string& value) {
  if (value != Trim(value) || value.size() > 259) return false;
  const bool quoted = value.size() >= 2 &&
                      (value[0] == '"' || value[0] == '\'') &&
                      value.back() == value[0];
  return !quoted;
}

[[noreturn]] void Fail(const char* what, const std::string& section,
                       const std::string& key, const std::string& got) {
  std::fprintf(stderr, "profile_file_fuzz: %s: [%s] %s reads \"%s\"\n", what,
               section.c_str(), key.c_str(), got.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  static const ScratchDir dir;
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::string parts[3];
  std::size_t pos = 0;
  for (std::string& part : parts) {
    const std::size_t end = input.find('\n', pos);
    if (end == std::string::npos) return 0;
    part = input.substr(pos, end - pos);
    pos = end + 1;
  }
  const std::string &section = parts[0], &key = parts[1], &value = parts[2];
  if (!WritesOneEntry(section, key, value)) return 0;
  const std::string file = dir.File();
  const std::string text = input.substr(pos);
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;

  std::vector<std::string> sections = {"", section}, keys = {key};
  MentionedNames(text, &sections, &keys);
  std::vector<std::string> before;
  for (const std::string& s : sections)
    for (const std::string& k : keys)
      before.push_back(profile::ReadString(file, s, k, kMissing));

  if (!profile::WriteString(file, section, key, value))
    Fail("write failed", section, key, "");
  const std::string written = profile::ReadString(file, section, key, kMissing);
  if (ReadsBackAsWritten(value) && written != value)
    Fail("the written key", section, key, written);

  std::size_t at = 0;
  for (const std::string& s : sections) {
    for (const std::string& k : keys) {
      const std::string& was = before[at++];
      if (NameForm(s) == NameForm(section) && NameForm(k) == NameForm(key))
        continue;
      const std::string now = profile::ReadString(file, s, k, kMissing);
      if (now != was) Fail("another key changed", s, k, now);
    }
  }
  return 0;
}

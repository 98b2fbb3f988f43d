#include "sequence_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "datagram.h"
#include "line_file.h"
#include "tool_options.h"

namespace pelmora::wire {
namespace {

std::string Why(const std::string& what, int code) {
  return what + ": " + std::strerror(code);
}

// Writes all of `text` to `fd`; false with errno set when it could not.
bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<std::size_t>(wrote);
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string DefaultStateDirectory(std::string* error) {
  if (const char* state = std::getenv("STATE_DIRECTORY");
      state != nullptr && *state != '\0') {
    const std::string all = state;
    return all.substr(0, all.find(':'));
  }
  // A relative XDG_STATE_HOME is invalid, and passed over as unset.
  if (const char* xdg = std::getenv("XDG_STATE_HOME");
      xdg != nullptr && *xdg == '/') {
    return std::string(xdg) + "/pelmora";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
    return std::string(home) + "/.local/state/pelmora";
  *error =
      "no state folder: none of STATE_DIRECTORY, XDG_STATE_HOME and HOME is "
      "set (give one with --state-dir)";
  return "";
}

bool MakeStateDirectory(const std::string& path, std::string* error) {
  for (std::size_t at = 1; at <= path.size(); ++at) {
    if (at != path.size() && path[at] != '/') continue;
    const std::string part = path.substr(0, at);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = Why("cannot make the state folder " + part, errno);
      return false;
    }
  }
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    *error = "the state folder " + path + " is no folder";
    return false;
  }
  return true;
}

bool SequenceFile::Read(std::map<std::string, std::uint32_t>* kept,
                        std::string* error) const {
  kept->clear();
  if (path_.empty()) return true;
  const auto lines = ReadContentLines(path_);
  if (!lines) {
    struct stat status {};
    if (::stat(path_.c_str(), &status) != 0 && errno == ENOENT) return true;
    *error = "cannot read the sequence file " + path_;
    return false;
  }
  for (const FileLine& line : *lines) {
    const std::string_view text = line.text;
    const std::size_t gap = text.find_first_of(" \t");
    std::array<std::uint8_t, 6> mac{};
    std::uint32_t sequence = 0;
    if (gap == std::string_view::npos ||
        !ParseMacText(text.substr(0, gap), &mac) ||
        !ParseNumber<std::uint32_t>(TrimBlanks(text.substr(gap)), 0, 0xFFFFFFFF,
                                    &sequence)) {
      *error = path_ + " line " + std::to_string(line.number) +
               ": not 'MAC SEQUENCE'";
      return false;
    }
    std::uint32_t& slot = (*kept)[MacText(mac)];
    slot = std::max(slot, sequence);
  }
  return true;
}

bool SequenceFile::Load(std::string* error) { return Read(&kept_, error); }

bool ReplaceFile(const std::string& path, const std::string& text,
                 std::string* error) {
  const std::string temporary = path + ".new";
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    *error = Why("cannot write " + temporary, errno);
    return false;
  }
  const bool written = WriteAll(fd, text) && ::fsync(fd) == 0;
  const int code = errno;
  ::close(fd);
  if (!written) {
    ::unlink(temporary.c_str());
    *error = Why("cannot write " + temporary, code);
    return false;
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int renameCode = errno;
    ::unlink(temporary.c_str());
    *error = Why("cannot replace " + path, renameCode);
    return false;
  }
  // The rename is only lasting once the folder that holds it is synced.
  const int folder = ::open(FolderOf(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return true;
}

std::uint32_t SequenceFile::Kept(const std::string& mac) const {
  const auto found = kept_.find(mac);
  return found == kept_.end() ? 0 : found->second;
}

bool SequenceFile::Keep(const std::map<std::string, std::uint32_t>& sequences,
                        std::string* error) {
  std::map<std::string, std::uint32_t> kept;
  if (!Read(&kept, error)) return false;
  for (const auto& [mac, sequence] : kept_)
    kept[mac] = std::max(kept[mac], sequence);
  for (const auto& [mac, sequence] : sequences)
    kept[mac] = std::max(kept[mac], sequence);
  if (path_.empty()) {
    kept_ = std::move(kept);
    return true;
  }
  std::string text =
      "# The last sequence each station's commands used, kept by the\n"
      "# Pelmora gateway and pelmora-cmd so that a restart continues above "
      "it.\n";
  for (const auto& [mac, sequence] : kept)
    text += mac + " " + std::to_string(sequence) + "\n";

  if (!ReplaceFile(path_, text, error)) return false;
  kept_ = std::move(kept);
  return true;
}

}  // namespace pelmora::wire

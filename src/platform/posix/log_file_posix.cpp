#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/env_posix.h"

namespace pelmora {
namespace {

// The exclusive hold is an advisory lock taken without waiting: every
// writer of the log takes it, and one that cannot get it counts the file as
// not openable.
class PosixLogFile : public LogFile {
 public:
  explicit PosixLogFile(int fd) : fd_(fd) {}
  ~PosixLogFile() override { ::close(fd_); }

  bool Size(std::uint64_t* size) override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return false;
    *size = static_cast<std::uint64_t>(st.st_size);
    return true;
  }

  bool Truncate() override { return ::ftruncate(fd_, 0) == 0; }

  bool Append(const char* data, std::size_t length) override {
    if (::lseek(fd_, 0, SEEK_END) < 0) return false;
    while (length > 0) {
      ssize_t n = ::write(fd_, data, length);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data += n;
      length -= static_cast<std::size_t>(n);
    }
    return true;
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<LogFile> OpenPosixLogFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixLogFile>(fd);
}

}  // namespace pelmora

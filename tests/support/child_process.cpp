#include "support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace pelmora::testing {
namespace {

bool ReadSome(int fd, std::string* text, int timeoutMs) {
  pollfd wait{fd, POLLIN, 0};
  if (::poll(&wait, 1, timeoutMs) <= 0) return false;
  char chunk[4096];
  const ssize_t n = ::read(fd, chunk, sizeof chunk);
  if (n <= 0) return false;
  text->append(chunk, static_cast<std::size_t>(n));
  return true;
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> args,
                           const std::vector<std::string>& program) {
  args.insert(args.begin(), program.begin(), program.end());
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  out_ = out[0];
  err_ = err[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ::close(out_);
  ::close(err_);
}

int ChildProcess::ListeningPort() {
  // A program that keeps writing without ever listening gets 20 s in all.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline &&
         ReadSome(err_, &err_text_, 20000)) {
    const std::size_t end = err_text_.find(" (receive buffer");
    if (end != std::string::npos)
      return std::stoi(err_text_.substr(err_text_.rfind(':', end) + 1));
  }
  return 0;
}

std::string ChildProcess::ReadErrors(const std::string& marker) {
  while ((marker.empty() || err_text_.find(marker) == std::string::npos) &&
         ReadSome(err_, &err_text_, 10000)) {
  }
  return err_text_;
}

std::string ChildProcess::ReadOutput(const std::string& marker) {
  while ((marker.empty() || out_text_.find(marker) == std::string::npos) &&
         ReadSome(out_, &out_text_, 10000)) {
  }
  return out_text_;
}

int ChildProcess::ExitStatus(int limitMs) {
  for (int waited = 0; pid_ > 0; waited += 10) {
    if (::waitpid(pid_, &status_, WNOHANG) != 0) break;
    if (waited >= limitMs) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status_, 0);
      break;
    }
    ::usleep(10000);
  }
  pid_ = -1;
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

// Once the child is reaped, pid_ is -1, which waitpid and kill read as
// "any child" and "every process": neither may see it.
bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  if (::waitpid(pid_, &status_, WNOHANG) == 0) return true;
  pid_ = -1;
  return false;
}

void ChildProcess::Signal(int number) {
  if (pid_ > 0) ::kill(pid_, number);
}

}  // namespace pelmora::testing

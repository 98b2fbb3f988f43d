// The receiver run as a process, for the tests of the receiver, the
// dissector and the packages; and the loopback sender and datagram bytes
// they feed it.
#ifndef PELMORA_TESTS_RECV_RECV_TEST_SUPPORT_H_
#define PELMORA_TESTS_RECV_RECV_TEST_SUPPORT_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "udp_sender.h"

namespace recv_test {

// pelmora-recv as a child process with its output on pipes; killed if a test
// leaves it running. `program` is what starts it: the built receiver, or a
// command line that runs another one (a packaged one, one under Wine).
class Tool {
 public:
  explicit Tool(std::vector<std::string> args,
                std::vector<std::string> program = {PELMORA_RECV_BINARY}) {
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
  ~Tool() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
  }

  // Port from the "listening on ADDR:PORT" notice on stderr; 0 if none.
  int ListeningPort() {
    while (ReadSome(err_, &err_text_, 20000)) {
      const std::size_t end = err_text_.find(" (receive buffer");
      if (end != std::string::npos)
        return std::stoi(err_text_.substr(err_text_.rfind(':', end) + 1));
    }
    return 0;
  }

  // As ReadOutput, from stderr: all of it so far.
  std::string ReadErrors(const std::string& marker = "") {
    while ((marker.empty() || err_text_.find(marker) == std::string::npos) &&
           ReadSome(err_, &err_text_, 10000)) {
    }
    return err_text_;
  }

  // Reads stdout until `marker` shows up, or until the tool closes it when
  // `marker` is empty.
  std::string ReadOutput(const std::string& marker = "") {
    while ((marker.empty() || out_text_.find(marker) == std::string::npos) &&
           ReadSome(out_, &out_text_, 10000)) {
    }
    return out_text_;
  }

  int ExitStatus() {
    if (pid_ > 0) ::waitpid(pid_, &status_, 0);
    pid_ = -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
  }

  bool Running() {
    if (::waitpid(pid_, &status_, WNOHANG) == 0) return true;
    pid_ = -1;
    return false;
  }
  void Signal(int number) { ::kill(pid_, number); }

 private:
  static bool ReadSome(int fd, std::string* text, int timeoutMs) {
    pollfd wait{fd, POLLIN, 0};
    if (::poll(&wait, 1, timeoutMs) <= 0) return false;
    char chunk[4096];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    text->append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int status_ = 0;
  int out_ = -1;
  int err_ = -1;
  std::string out_text_;
  std::string err_text_;
};

}  // namespace recv_test

#endif  // PELMORA_TESTS_RECV_RECV_TEST_SUPPORT_H_

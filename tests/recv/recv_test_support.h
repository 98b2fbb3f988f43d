// Datagram bytes, a loopback sender and the receiver run as a process, for
// the tests of the receiver, the dissector and the packages. The encoder
// here is written apart from the parser so that the two check each other.
#ifndef PELMORA_TESTS_RECV_RECV_TEST_SUPPORT_H_
#define PELMORA_TESTS_RECV_RECV_TEST_SUPPORT_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace recv_test {

using Bytes = std::vector<std::uint8_t>;

// Hex digits, spaces ignored.
inline Bytes Hex(const std::string& text) {
  Bytes bytes;
  std::string digits;
  for (const char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

inline std::string ToHex(const Bytes& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t b : bytes) {
    text += kHex[b >> 4];
    text += kHex[b & 0x0F];
  }
  return text;
}

// Item datagram "P1|12.5" from station 00-11-22-33-44-55.
inline Bytes GoldenItem() {
  return Hex(
      "ffffffff 02000001 01ffffff 09000000 001122334455 ffffffffffffffffffff"
      "0700 50317c31322e35");
}

// A datagram of `kind` holding `records`, from station `mac`.
inline Bytes BuildDatagram(std::uint8_t kind,
                           const std::vector<std::string>& records,
                           const std::array<std::uint8_t, 6>& mac = {
                               0x00, 0x11, 0x22, 0x33, 0x44, 0x55}) {
  Bytes bytes = Hex(
      "ffffffff 02000001 00ffffff 00000000 000000000000 ffffffffffffffffffff");
  bytes[8] = kind;
  std::copy(mac.begin(), mac.end(), bytes.begin() + 16);
  for (const std::string& record : records) {
    bytes.push_back(static_cast<std::uint8_t>(record.size()));
    bytes.push_back(static_cast<std::uint8_t>(record.size() >> 8));
    bytes.insert(bytes.end(), record.begin(), record.end());
  }
  const std::size_t payload = bytes.size() - 32;
  for (int i = 0; i < 4; ++i)
    bytes[12 + i] = static_cast<std::uint8_t>(payload >> (8 * i));
  return bytes;
}

class Sender {
 public:
  explicit Sender(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    to_.sin_family = AF_INET;
    to_.sin_port = htons(port);
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  ~Sender() { ::close(fd_); }
  Sender(const Sender&) = delete;
  Sender& operator=(const Sender&) = delete;

  void Send(const Bytes& bytes) {
    if (::sendto(fd_, bytes.data(), bytes.size(), 0,
                 reinterpret_cast<const sockaddr*>(&to_),
                 sizeof to_) != static_cast<ssize_t>(bytes.size())) {
      throw std::runtime_error("sendto failed");
    }
  }

 private:
  int fd_;
  sockaddr_in to_{};
};

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
    std::string text;
    while (ReadSome(err_, &text, 20000)) {
      const std::size_t end = text.find(" (receive buffer");
      if (end != std::string::npos)
        return std::stoi(text.substr(text.rfind(':', end) + 1));
    }
    return 0;
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
};

}  // namespace recv_test

#endif  // PELMORA_TESTS_RECV_RECV_TEST_SUPPORT_H_

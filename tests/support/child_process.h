// A program run as a child process with its output on pipes, for the tests
// and benchmarks that drive the tools, a broker or a host from outside.
#ifndef PELMORA_TESTS_SUPPORT_CHILD_PROCESS_H_
#define PELMORA_TESTS_SUPPORT_CHILD_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace pelmora::testing {

// Runs `program` (the path of a built tool, or a command line that runs
// one: a packaged one, one under Wine, one behind a shell) with `args`
// after it; killed if a test leaves it running.
class ChildProcess {
 public:
  // Throws std::runtime_error when no pipe can be made.
  ChildProcess(std::vector<std::string> args,
               const std::vector<std::string>& program);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Port from the "listening on ADDR:PORT (receive buffer" notice that the
  // receiver and the gateway write on stderr; 0 if none comes.
  int ListeningPort();

  // Reads stdout until `marker` shows up, or until the program closes it
  // when `marker` is empty; all that was read so far.
  std::string ReadOutput(const std::string& marker = "");

  // As ReadOutput, from stderr: all of it so far.
  std::string ReadErrors(const std::string& marker = "");

  // Waits for the program to end: its exit status, or 128 + the signal
  // that ended it. One still running after `limitMs` is killed (137), so
  // that a program that hangs fails its test instead of stalling the run.
  int ExitStatus(int limitMs = 120000);

  bool Running();
  void Signal(int number);
  // The child's process id while it runs, for reading what /proc says.
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  int out_ = -1;
  int err_ = -1;
  std::string out_text_;
  std::string err_text_;
};

}  // namespace pelmora::testing

#endif  // PELMORA_TESTS_SUPPORT_CHILD_PROCESS_H_

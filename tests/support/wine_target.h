// Which Windows build of the plug-in this machine's Wine runs: the 32-bit
// DLL where the kernel runs 32-bit programs, the 64-bit one where only
// 64-bit Wine can start. scripts/test.sh decides once per run and hands the
// answer down in PELMORA_WINE_BUILD and PELMORA_WINE_REASON; a test binary
// started on its own asks scripts/wine-target.sh itself. Where that build's
// tree is not built, no Windows build is run, and the tests that would run
// it skip with the reason.
#ifndef PELMORA_TESTS_SUPPORT_WINE_TARGET_H_
#define PELMORA_TESTS_SUPPORT_WINE_TARGET_H_

#include <string>

namespace pelmora::testing {

struct WineTarget {
  std::string build;   // "win32" or "win64"; empty where no Wine runs here
  std::string reason;  // why this build, or why none: for skip messages
  std::string tree;    // that build's CMake tree
  // A shell command line that runs the Windows program `program` under it.
  std::string Command(const std::string& program) const;
};

const WineTarget& SelectedWineTarget();

// Why the Windows build `build` ("win32", "win64") in `tree` cannot be run
// or packed here: its tree not configured, or not built; empty when it can.
std::string WindowsTreeMissing(const std::string& build,
                               const std::string& tree);

// `word` in single quotes for /bin/sh.
std::string ShellQuote(const std::string& word);

struct ShellResult {
  int exitCode = -1;   // -1 when it could not start or did not exit
  std::string output;  // its standard output, carriage returns removed
};
// Runs `command` with /bin/sh and collects its standard output. Wine's
// programs end lines with CR LF; the tests compare plain lines. Given
// `limitSeconds`, a command still running then is ended with its process
// group, and its exit code is timeout's 124 (or 137 once killed).
ShellResult RunShell(const std::string& command, int limitSeconds = 0);

}  // namespace pelmora::testing

#endif  // PELMORA_TESTS_SUPPORT_WINE_TARGET_H_

// Running the real host program with the real plug-in in a host directory
// of its own, for the native library and for the DLL under Wine, while a
// real UDP receiver on loopback collects what arrives.
#ifndef PELMORA_TESTS_INTEGRATION_HOST_RUN_H_
#define PELMORA_TESTS_INTEGRATION_HOST_RUN_H_

#include <string>
#include <vector>

#include "support/service_fixture.h"
#include "datagram.h"

namespace pelmora::testing {

struct Target {
  std::string name;     // "native", or the Windows build: "win32", "win64"
  std::string hostExe;  // the built pelmora-host
  std::string library;  // the built plug-in
  bool underWine = false;
  std::string skip;  // why this target cannot run here; empty if it can
};
// The Linux library, and the Windows build that this machine's Wine runs
// (a target that skips, with the reason, where none does).
std::vector<Target> Targets();
inline void PrintTo(const Target& target, std::ostream* os) {
  *os << target.name;
}
// "native" and "windows", whichever Windows build runs, so that a test list
// made with one choice still names the tests of the other.
std::string TargetName(const ::testing::TestParamInfo<Target>& info);

struct HostResult {
  int exitCode = -1;
  std::string output;
  std::vector<wire::Datagram> datagrams;  // well-formed ones, in order
  int malformed = 0;
};

// A host directory: the host program and the plug-in copied in, a Drivers
// folder beside them.
class HostDir {
 public:
  explicit HostDir(const Target& target);
  std::string Drivers(const std::string& name) const;
  // Writes Drivers/Pelmora.ini pointing at `port` on 127.0.0.1.
  void Configure(int port, const std::string& mac = "00:11:22:33:44:55");
  // Runs the host with `commands` while the receiver opened last collects;
  // keeps receiving for `drainMs` after the host has ended. `input` is what
  // the host's terminal gives (the text form of the settings dialog).
  HostResult Run(const std::vector<std::string>& commands, int drainMs = 300,
                 const std::string& input = std::string());
  std::vector<std::string> LogLines() const;
  const std::string& path() const { return dir_.path(); }

 private:
  Target target_;
  TempDir dir_;
};

// A receiver on an ephemeral loopback port, opened before the host runs.
int OpenReceiverPort();

// Tests of the real host on each target; a target that cannot run here
// skips with its reason.
class TargetTest : public ::testing::TestWithParam<Target> {
 protected:
  void SetUp() override {
    if (!GetParam().skip.empty()) GTEST_SKIP() << GetParam().skip;
  }
  HostDir host_{GetParam()};
};

}  // namespace pelmora::testing

#endif  // PELMORA_TESTS_INTEGRATION_HOST_RUN_H_

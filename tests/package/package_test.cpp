// The packages as a user gets them: CPack's archive of each build tree, its
// listing, and the packaged host, plug-in and receiver run from the
// unpacked archive (the Windows ones under Wine).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "host_run.h"
#include "support/child_process.h"
#include "support/wine_target.h"

namespace fs = std::filesystem;

namespace pelmora::testing {
namespace {

struct Package {
  std::string name;  // "linux", "win32", "win64"
  std::string tree;  // the build tree CPack packs
};

void PrintTo(const Package& package, std::ostream* os) { *os << package.name; }

std::string PackageName(const ::testing::TestParamInfo<Package>& info) {
  return info.param.name;
}

const Package kLinux{"linux", PELMORA_NATIVE_TREE};
const Package kWin32{"win32", PELMORA_WIN32_DIR};
const Package kWin64{"win64", PELMORA_WIN64_DIR};

// Runs CPack on the package's tree into `dir`; the archive's path, or empty
// after a failure.
std::string MakeArchive(const Package& package, const std::string& dir) {
  const std::string config = package.tree + "/CPackConfig.cmake";
  if (package.tree.empty() || !fs::exists(config)) {
    ADD_FAILURE() << "the " << package.name << " tree is not configured";
    return "";
  }
  const ShellResult run =
      RunShell(PELMORA_CPACK + std::string(" --config ") + ShellQuote(config) +
               " -B " + ShellQuote(dir) + " 2>&1");
  EXPECT_EQ(run.exitCode, 0) << run.output;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string file = entry.path().filename().string();
    if (file.rfind("pelmora-", 0) == 0 && entry.is_regular_file())
      return entry.path().string();
  }
  ADD_FAILURE() << "no archive:\n" << run.output;
  return "";
}

// The archive's files, without their top folder, sorted.
std::vector<std::string> Listing(const std::string& archive) {
  const ShellResult run = RunShell(std::string(PELMORA_CMAKE) + " -E tar tf " +
                                   ShellQuote(archive));
  EXPECT_EQ(run.exitCode, 0);
  std::vector<std::string> files;
  std::istringstream lines(run.output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() != '/')
      files.push_back(line.substr(line.find('/') + 1));
  }
  std::sort(files.begin(), files.end());
  return files;
}

class PackageListing : public ::testing::TestWithParam<Package> {};

TEST_P(PackageListing, HoldsThePlugInToolsDissectorSampleAndGuides) {
  const bool windows = GetParam().name != "linux";
  if (windows) {
    const std::string missing =
        WindowsTreeMissing(GetParam().name, GetParam().tree);
    if (!missing.empty()) GTEST_SKIP() << missing;
  }
  TempDir dir;
  const std::string archive = MakeArchive(GetParam(), dir.path());
  ASSERT_FALSE(archive.empty());
  EXPECT_NE(archive.find(windows ? "-" + GetParam().name + ".zip"
                                 : "-linux-x86_64.tar.gz"),
            std::string::npos)
      << archive;
  std::vector<std::string> expected = {
      "include/pelmora/pelmora.h", "share/doc/pelmora/integration.md",
      "share/doc/pelmora/protocol.md", "share/pelmora/Pelmora.ini",
      "share/pelmora/wireshark/pelmora.lua"};
  const std::vector<std::string> own =
      windows
          ? std::vector<std::string>{"bin/pelmora-host.exe",
                                     "bin/pelmora-recv.exe", "bin/pelmora.dll",
                                     "lib/pelmora.def"}
          : std::vector<std::string>{"bin/pelmora-gateway", "bin/pelmora-host",
                                     "bin/pelmora-recv", "lib/libpelmora.so",
                                     "share/doc/pelmora/gateway.md"};
  expected.insert(expected.end(), own.begin(), own.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Listing(archive), expected);
}

INSTANTIATE_TEST_SUITE_P(Packages, PackageListing,
                         ::testing::Values(kLinux, kWin32, kWin64),
                         PackageName);

// The Linux package, and the Windows package of the build this machine's
// Wine runs (skipped, with the reason, where none does).
std::vector<Package> RunnablePackages() {
  const WineTarget& wine = SelectedWineTarget();
  return {kLinux, wine.build.empty() ? Package{"windows", ""}
                                     : Package{wine.build, wine.tree}};
}

class PackageRun : public ::testing::TestWithParam<Package> {};

TEST_P(PackageRun, TheUnpackedHostSendsToTheUnpackedReceiver) {
  const bool windows = GetParam().name != "linux";
  if (windows && GetParam().tree.empty())
    GTEST_SKIP() << "no Windows build runs here: "
                 << SelectedWineTarget().reason;
  TempDir dir;
  const std::string archive = MakeArchive(GetParam(), dir.path());
  ASSERT_FALSE(archive.empty());
  ASSERT_EQ(RunShell("cd " + ShellQuote(dir.path()) + " && " + PELMORA_CMAKE +
                     " -E tar xf " + ShellQuote(archive))
                .exitCode,
            0);
  // CPack's top folder is named as the archive is.
  const std::string name = fs::path(archive).filename().string();
  const fs::path unpacked =
      fs::path(dir.path()) /
      name.substr(0, name.find(windows ? ".zip" : ".tar"));
  const std::string bin = (unpacked / "bin").string();
  const std::string exe = windows ? ".exe" : "";

  std::vector<std::string> receiverCommand = {bin + "/pelmora-recv" + exe};
  if (windows) {
    receiverCommand = {
        "/bin/sh", "-c",
        "exec " + SelectedWineTarget().Command(receiverCommand[0]) + " \"$@\"",
        "pelmora-recv"};
  }
  ChildProcess receiver({"--port", "0", "--count", "2", "--duration", "60000",
                         "--encoding", "gbk"},
                        receiverCommand);
  const int port = receiver.ListeningPort();
  ASSERT_GT(port, 0);

  HostDir host({GetParam().name, bin + "/pelmora-host" + exe,
                windows ? bin + "/pelmora.dll"
                        : (unpacked / "lib/libpelmora.so").string(),
                windows, ""});
  // The sample configuration, pointed at the receiver.
  std::string ini = ReadFile((unpacked / "share/pelmora/Pelmora.ini").string());
  for (const auto& [from, to] :
       {std::pair<std::string, std::string>{"PORT=7000",
                                            "PORT=" + std::to_string(port)},
        {"MAC=00:00:00:00:00:00", "MAC=00:11:22:33:44:55"}}) {
    const std::size_t at = ini.find(from + "\n");
    ASSERT_NE(at, std::string::npos) << from << " not in the sample:\n" << ini;
    ini.replace(at, from.size(), to);
  }
  WriteFile(host.Drivers("Pelmora.ini"), ini);

  // Two rounds, B in the first only; B's value is 温度 in GBK, which the
  // receiver shows as UTF-8 through the system's own code page 936.
  WriteFile(host.path() + "/rounds.csv", "A,1,1\nB,\xCE\xC2\xB6\xC8\n");
  const HostResult r = host.Run({"init", "replay", "rounds.csv", "100", "event",
                                 "door", "open", "sleep", "3500", "uninit"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  std::string output = receiver.ReadOutput();
  output.erase(std::remove(output.begin(), output.end(), '\r'), output.end());
  EXPECT_EQ(receiver.ExitStatus(), 0);
  EXPECT_EQ(output,
            "snapshot  mac=00-11-22-33-44-55 records=2 bytes=45\n"
            "  A|1\n"
            "  B|\xE6\xB8\xA9\xE5\xBA\xA6\n"
            "event     mac=00-11-22-33-44-55 records=1 bytes=43\n"
            "  door|open\n"
            "summary\n"
            "  item      datagrams=0 records=0\n"
            "  event     datagrams=1 records=1\n"
            "  snapshot  datagrams=1 records=2\n"
            "  malformed datagrams=0\n"
            "  mirror    points=2 events=1\n");
}

// Named "windows" whichever build runs, so that a test list made with one
// choice still names the tests of the other.
INSTANTIATE_TEST_SUITE_P(Packages, PackageRun,
                         ::testing::ValuesIn(RunnablePackages()),
                         [](const ::testing::TestParamInfo<Package>& info) {
                           return info.param.name == "linux" ? "linux"
                                                             : "windows";
                         });

}  // namespace
}  // namespace pelmora::testing

// The packages as a user gets them: CPack's archive of each build tree, its
// listing, and the packaged host, plug-in and receiver run from the
// unpacked archive (the Windows ones under Wine); the Debian package of the
// server side as dpkg and systemd read it, and its gateway started with
// the configuration it ships.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>

#include "host_run.h"
#include "support/child_process.h"
#include "support/mosquitto_port.h"
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

// Each shell step named on stderr as it starts and given four minutes, so
// that one that hangs fails the test and says which it was.
ShellResult Shell(const std::string& command) {
  std::fprintf(stderr, "step: %s\n", command.c_str());
  return RunShell(command, 240);
}

// Runs CPack's `generator` on the package's tree into `dir`; the package's
// path, or empty after a failure.
std::string MakeArchive(const Package& package, const std::string& dir,
                        const std::string& generator = "") {
  const std::string config = package.tree + "/CPackConfig.cmake";
  if (package.tree.empty() || !fs::exists(config)) {
    ADD_FAILURE() << "the " << package.name << " tree is not configured";
    return "";
  }
  const std::string kind = !generator.empty()        ? generator
                           : package.name == "linux" ? "TGZ"
                                                     : "ZIP";
  const ShellResult run =
      Shell(PELMORA_CPACK + std::string(" -G ") + kind + " --config " +
            ShellQuote(config) + " -B " + ShellQuote(dir) + " 2>&1");
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
  const ShellResult run =
      Shell(std::string(PELMORA_CMAKE) + " -E tar tf " + ShellQuote(archive));
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
      windows ? std::vector<std::string>{"bin/pelmora-host.exe",
                                         "bin/pelmora-recv.exe",
                                         "bin/pelmora.dll", "lib/pelmora.def"}
              : std::vector<std::string>{"bin/pelmora-cmd",
                                         "bin/pelmora-gateway",
                                         "bin/pelmora-host",
                                         "bin/pelmora-recv",
                                         "lib/libpelmora.so",
                                         "share/doc/pelmora/gateway.md",
                                         "share/doc/pelmora/sparkplug.md"};
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
  ASSERT_EQ(Shell("cd " + ShellQuote(dir.path()) + " && " + PELMORA_CMAKE +
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

// The lines of `text`, sorted.
std::vector<std::string> SortedLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

TEST(DebianPackage, InstallsTheServerSideAsAServiceListeningOnLoopback) {
  if (Shell("command -v dpkg-deb >/dev/null").exitCode != 0)
    GTEST_SKIP() << "no dpkg-deb here";
  if (ReadFile(std::string(PELMORA_NATIVE_TREE) + "/CPackConfig.cmake")
          .find("\"TGZ;DEB\"") == std::string::npos) {
    GTEST_SKIP() << "this tree makes no Debian package (no gateway, or no "
                    "dpkg-shlibdeps: scripts/setup.sh installs dpkg-dev)";
  }
  TempDir dir;
  const std::string deb = MakeArchive(kLinux, dir.path(), "DEB");
  ASSERT_FALSE(deb.empty());
  EXPECT_EQ(fs::path(deb).filename().string().rfind("pelmora-gateway_", 0), 0u)
      << deb;
  const std::string quoted = ShellQuote(deb);

  // The server side and its service, nothing of the plug-in's.
  const ShellResult files =
      Shell("dpkg-deb --fsys-tarfile " + quoted + " | tar tf - | grep -v '/$'");
  EXPECT_EQ(SortedLines(files.output),
            (std::vector<std::string>{
                "./etc/pelmora/gateway.conf", "./usr/bin/pelmora-cmd",
                "./usr/bin/pelmora-gateway", "./usr/bin/pelmora-recv",
                "./usr/lib/systemd/system/pelmora-gateway.service",
                "./usr/share/doc/pelmora/gateway.md",
                "./usr/share/doc/pelmora/protocol.md",
                "./usr/share/doc/pelmora/sparkplug.md",
                "./usr/share/pelmora/wireshark/pelmora.lua"}));
  EXPECT_EQ(Shell("dpkg-deb -I " + quoted + " conffiles").output,
            "/etc/pelmora/gateway.conf\n");
  // dpkg marks an executable member with '*'.
  const std::string info = Shell("dpkg-deb -I " + quoted).output;
  for (const char* script : {"postinst", "prerm", "postrm"}) {
    EXPECT_TRUE(std::regex_search(
        info, std::regex("\\* +" + std::string(script) + " +#!/bin/sh")))
        << script << " in\n"
        << info;
  }

  // Each library a packaged program links, by the package dpkg says holds
  // it in this machine's own library folder (not a 32-bit copy beside it),
  // is a dependency.
  const ShellResult root =
      Shell("dpkg-deb -x " + quoted + " " + ShellQuote(dir.path() + "/root"));
  ASSERT_EQ(root.exitCode, 0) << root.output;
  // The packages named, without their versions.
  const std::vector<std::string> depends =
      SortedLines(Shell("dpkg-deb -f " + quoted +
                        " Depends | tr ',' '\\n' | awk '{print $1}'")
                      .output);
  const ShellResult linked = Shell(
      "cd " + ShellQuote(dir.path() + "/root/usr/bin") +
      " && for so in $(objdump -p * | awk '/NEEDED/ {print $2}' | sort -u);"
      " do dpkg -S \"*/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/$so\""
      " | head -n1 | cut -d: -f1; done | sort -u");
  ASSERT_EQ(linked.exitCode, 0) << linked.output;
  ASSERT_FALSE(linked.output.empty());
  for (const std::string& package : SortedLines(linked.output)) {
    EXPECT_TRUE(std::binary_search(depends.begin(), depends.end(), package))
        << package << " not among the dependencies";
  }

  // The unit starts the packaged gateway with the packaged configuration,
  // and systemd accepts it (its program the one unpacked here, as this
  // machine has no /usr/bin/pelmora-gateway).
  std::string unit = ReadFile(
      dir.path() + "/root/usr/lib/systemd/system/pelmora-gateway.service");
  const std::string key = "\nExecStart=";
  const std::size_t at = unit.find(
      key + "/usr/bin/pelmora-gateway --config /etc/pelmora/gateway.conf\n");
  ASSERT_NE(at, std::string::npos) << unit;
  if (Shell("command -v systemd-analyze >/dev/null").exitCode == 0) {
    unit.insert(at + key.size(), dir.path() + "/root");
    WriteFile(dir.path() + "/pelmora-gateway.service", unit);
    // Generators and man pages are the machine's, not the unit's.
    const ShellResult verify = RunShell(
        "systemd-analyze verify --man=no --generators=no " +
            ShellQuote(dir.path() + "/pelmora-gateway.service") + " 2>&1",
        60);
    if (verify.exitCode == 124 || verify.exitCode == 137) {
      // The tool, not the unit: say the check was not made.
      std::fprintf(stderr,
                   "not checked: systemd-analyze verify did not end "
                   "within 60 s here\n");
    } else {
      EXPECT_EQ(verify.exitCode, 0) << verify.output;
      EXPECT_EQ(verify.output, "");
    }
  } else {
    std::printf("skipped: systemd-analyze verify (no systemd-analyze here)\n");
  }

  // The shipped configuration listens on loopback alone, and the packaged
  // gateway starts with it (its ports made free ones here).
  const std::string conf = dir.path() + "/root/etc/pelmora/gateway.conf";
  const std::regex listen("^(bind|http|metrics) *= *([^ ]+)");
  for (const std::string& line : FileLines(conf)) {
    std::smatch setting;
    if (std::regex_search(line, setting, listen)) {
      EXPECT_EQ(setting[2].str().rfind("127.0.0.1", 0), 0u) << line;
    }
  }
  std::fprintf(stderr, "step: the packaged gateway starts and stops\n");
  ChildProcess gateway(
      {"--config", conf, "--port", "0", "--metrics", "127.0.0.1:0",
       "--broker-port", std::to_string(FreeTcpPort())},
      {dir.path() + "/root/usr/bin/pelmora-gateway"});
  EXPECT_GT(gateway.ListeningPort(), 0) << gateway.ReadErrors();
  gateway.Signal(SIGTERM);
  EXPECT_EQ(gateway.ExitStatus(), 0) << gateway.ReadErrors();
}

}  // namespace
}  // namespace pelmora::testing

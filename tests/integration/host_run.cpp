#include "host_run.h"

#include "support/wine_target.h"
#include "udp_receiver.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;

namespace pelmora::testing {
namespace {

// The receiver that the next Run collects from.
std::unique_ptr<wire::UdpReceiver> pendingReceiver;

}  // namespace

std::vector<Target> Targets() {
  std::vector<Target> targets = {
      {"native", PELMORA_NATIVE_HOST, PELMORA_NATIVE_LIBRARY, false, ""}};
  const WineTarget& wine = SelectedWineTarget();
  if (wine.build.empty()) {
    targets.push_back({"windows", "", "", true,
                       "no Windows build runs here: " + wine.reason});
  } else {
    targets.push_back({wine.build, wine.tree + "/tools/pelmora-host.exe",
                       wine.tree + "/src/pelmora.dll", true, ""});
  }
  return targets;
}

std::string TargetName(const ::testing::TestParamInfo<Target>& info) {
  return info.param.underWine ? "windows" : info.param.name;
}

int OpenReceiverPort() {
  pendingReceiver = std::make_unique<wire::UdpReceiver>();
  std::string error;
  if (!pendingReceiver->Open("127.0.0.1", 0, &error)) {
    ADD_FAILURE() << error;
    return 0;
  }
  return pendingReceiver->port();
}

HostDir::HostDir(const Target& target) : target_(target) {
  if (!target.skip.empty()) return;
  if (!fs::exists(target.hostExe) || !fs::exists(target.library)) {
    ADD_FAILURE() << "not built: " << target.hostExe << " or "
                  << target.library;
    return;
  }
  fs::copy_file(target.hostExe,
                fs::path(dir_.path()) / fs::path(target.hostExe).filename());
  fs::copy_file(target.library,
                fs::path(dir_.path()) / fs::path(target.library).filename());
  fs::create_directory(fs::path(dir_.path()) / "Drivers");
}

std::string HostDir::Drivers(const std::string& name) const {
  return (fs::path(dir_.path()) / "Drivers" / name).string();
}

void HostDir::Configure(int port, const std::string& mac) {
  WriteFile(Drivers("Pelmora.ini"),
            "[SERVERSET]\r\nMAC=" + mac + "\r\nADDR=127.0.0.1\r\nPORT=" +
                std::to_string(port) + "\r\nCOUNT=5\r\n");
}

std::vector<std::string> HostDir::LogLines() const {
  return LogMessages(Drivers("Pelmora.log"));
}

HostResult HostDir::Run(const std::vector<std::string>& commands, int drainMs,
                        const std::string& input) {
  HostResult result;
  std::unique_ptr<wire::UdpReceiver> receiver = std::move(pendingReceiver);
  std::atomic<bool> hostDone{false};
  std::thread collector;
  if (receiver) {
    collector = std::thread([&] {
      std::vector<std::uint8_t> bytes;
      auto quietSince = std::chrono::steady_clock::now();
      for (;;) {
        if (receiver->Receive(&bytes, 50)) {
          wire::Datagram datagram;
          if (wire::ParseDatagram(bytes.data(), bytes.size(), &datagram,
                                  nullptr))
            result.datagrams.push_back(std::move(datagram));
          else
            ++result.malformed;
        } else if (!hostDone) {
          quietSince = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - quietSince >
                   std::chrono::milliseconds(drainMs)) {
          return;
        }
      }
    });
  }
  const std::string exe = fs::path(target_.hostExe).filename().string();
  const std::string lib = fs::path(target_.library).filename().string();
  std::string command = "cd " + ShellQuote(dir_.path()) + " && ";
  if (target_.underWine) {
    command += SelectedWineTarget().Command(exe) + " " + ShellQuote(lib);
  } else {
    command += "./" + ShellQuote(exe) + " " +
               ShellQuote((fs::path(dir_.path()) / lib).string());
  }
  for (const std::string& word : commands) command += " " + ShellQuote(word);
  const std::string inputFile =
      (fs::path(dir_.path()) / "terminal.txt").string();
  WriteFile(inputFile, input);
  command += " 2>&1 <" + ShellQuote(inputFile);
  ShellResult run = RunShell(command);
  result.exitCode = run.exitCode;
  result.output = std::move(run.output);
  hostDone = true;
  if (collector.joinable()) collector.join();
  return result;
}

}  // namespace pelmora::testing

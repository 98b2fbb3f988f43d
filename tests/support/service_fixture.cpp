#include "support/service_fixture.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace pelmora::testing {

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  fs::path base = fs::temp_directory_path();
  for (;;) {
    fs::path candidate =
        base /
        ("pelmora-test-" +
         std::to_string(
             std::chrono::steady_clock::now().time_since_epoch().count()) +
         "-" + std::to_string(counter++));
    if (fs::create_directory(candidate)) {
      path_ = candidate.string();
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string TempDir::File(const std::string& name) const {
  return (fs::path(path_) / name).string();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool FileExists(const std::string& path) { return fs::exists(path); }

std::vector<std::string> FileLines(const std::string& path) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : ReadFile(path) + "\n") {
    if (c == '\r') continue;
    if (c != '\n') {
      line += c;
    } else if (!line.empty()) {
      lines.push_back(line);
      line.clear();
    }
  }
  return lines;
}

bool Eventually(const std::function<bool()>& done) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

std::vector<std::string> OnlyLines(std::vector<std::string> lines,
                                   const std::vector<std::string>& keep) {
  lines.erase(std::remove_if(lines.begin(), lines.end(),
                             [&keep](const std::string& line) {
                               return std::find(keep.begin(), keep.end(),
                                                line) == keep.end();
                             }),
              lines.end());
  return lines;
}

std::vector<std::string> LogMessages(const std::string& logPath) {
  std::vector<std::string> messages;
  const std::string bytes = ReadFile(logPath);
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) end = bytes.size();
    // "YYYY-MM-DD hh:mm:ss: " is 21 bytes.
    messages.push_back(bytes.substr(start + 21, end - start - 21));
    start = end + 2;
  }
  return messages;
}

ServiceTest::ServiceTest() {
  env_.hostDir = dir_.path();
  env_.adapters = {{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}};
  fs::create_directory(DriversDir());
}

ServiceTest::~ServiceTest() {
  if (service_) {
    if (service_->IsLinkStarted()) service_->StopLink();
    service_.reset();
  }
}

LinkService& ServiceTest::Service() {
  if (!service_) {
    service_ = std::make_unique<LinkService>(env_);
    service_->Configure();
  }
  return *service_;
}

void ServiceTest::OpenLink() {
  UdpLink::OpenStep failedStep;
  OsError error;
  ASSERT_TRUE(Service().link().Open(&failedStep, &error));
}

std::string ServiceTest::DriversDir() const { return dir_.File("Drivers"); }
std::string ServiceTest::LogPath() const {
  return (fs::path(DriversDir()) / "Pelmora.log").string();
}
std::string ServiceTest::ConfigPath() const {
  return (fs::path(DriversDir()) / "Pelmora.ini").string();
}

void ServiceTest::PushRound(const std::vector<std::string>& names,
                            const std::string& value) {
  for (const auto& name : names) Service().points().Update(name, value);
}

}  // namespace pelmora::testing

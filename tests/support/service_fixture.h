// A LinkService built the way InitService builds it, over a FakeEnv, with
// the host executable in a fresh temporary directory that has a Drivers
// folder. Helpers read back the real log and configuration files.
#ifndef PELMORA_TESTS_SUPPORT_SERVICE_FIXTURE_H_
#define PELMORA_TESTS_SUPPORT_SERVICE_FIXTURE_H_

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/link_service.h"
#include "support/fake_env.h"

namespace pelmora::testing {

// A directory under the system's temporary directory, removed with the
// object.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
// The file's non-empty lines, without their CR LF or LF ends.
std::vector<std::string> FileLines(const std::string& path);

// Polls `done` (yielding, never sleeping) for up to ten seconds of real
// time; for states that worker threads reach through fake pauses.
bool Eventually(const std::function<bool()>& done);

// The lines that are among `keep`, in their order.
std::vector<std::string> OnlyLines(std::vector<std::string> lines,
                                   const std::vector<std::string>& keep);

// Log lines without their timestamps.
std::vector<std::string> LogMessages(const std::string& logPath);

class ServiceTest : public ::testing::Test {
 protected:
  ServiceTest();
  ~ServiceTest() override;

  // The service over env_, built and configured as InitService does.
  LinkService& Service();
  // Opens the service's link without starting its workers, so that what
  // the assembler finishes is queued and what the snapshot sends is sent.
  void OpenLink();
  std::string DriversDir() const;
  std::string LogPath() const;
  std::string ConfigPath() const;
  std::vector<std::string> Log() const { return LogMessages(LogPath()); }
  // Pushes names in order with the value "v".
  void PushRound(const std::vector<std::string>& names,
                 const std::string& value = "v");

  FakeEnv env_;
  TempDir dir_;
  std::unique_ptr<LinkService> service_;
};

}  // namespace pelmora::testing

#endif  // PELMORA_TESTS_SUPPORT_SERVICE_FIXTURE_H_

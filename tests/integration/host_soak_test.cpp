// Two hundred services, one after another, in one run of the real host
// program with traffic in each: every stop gives back the threads, file
// descriptors and memory its start took (the asan preset runs this under
// LeakSanitizer), and every service's life is in the log.
#include <algorithm>
#include <regex>

#include "host_run.h"

namespace pelmora::testing {
namespace {

constexpr int kServices = 200;

// The log's GBK lines that open and close a service's life, "启动服务……" and
// "服务停止!", and the start of the line for the end of discovery,
// "最后一个测点的标示为 ".
const std::string kStartingLine =
    "\xC6\xF4\xB6\xAF\xB7\xFE\xCE\xF1\xA1\xAD\xA1\xAD";
const std::string kStoppedLine = "\xB7\xFE\xCE\xF1\xCD\xA3\xD6\xB9!";
const std::string kDiscoveryLine =
    "\xD7\xEE\xBA\xF3\xD2\xBB\xB8\xF6\xB2\xE2\xB5\xE3\xB5\xC4\xB1\xEA\xCA\xBE"
    "\xCE\xAA ";

TEST(HostSoak, ServicesStartedAndStoppedInOneHostLeaveNothingBehind) {
  HostDir host(
      {"native", PELMORA_NATIVE_HOST, PELMORA_NATIVE_LIBRARY, false, ""});
  host.Configure(OpenReceiverPort());
  // Each service: a first round of three points, the first point again
  // (discovery complete), a change and an event, then the stop. Most stop
  // at once, often before their threads have run. Every twentieth waits
  // past the management thread's idle first second, so that its second
  // cycle turns the change and the event into datagrams; that stop then
  // waits out the next idle second.
  std::vector<std::string> commands;
  for (int service = 1; service <= kServices; ++service) {
    const std::string n = std::to_string(service);
    commands.insert(commands.end(),
                    {"init", "callback", "round", "P", "3", n, "update", "P0",
                     n + "a", "event", "service", n, "update", "P1", n + "b"});
    if (service % 20 == 0) commands.insert(commands.end(), {"sleep", "1100"});
    commands.push_back("uninit");
    if (service == 1 || service == kServices) commands.push_back("resources");
  }
  const HostResult r = host.Run(commands);
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.malformed, 0);

  // Counted with no service running, after the first stop and the last.
  const std::regex counts("resources files \\d+ threads \\d+");
  std::vector<std::string> seen;
  for (std::sregex_iterator it(r.output.begin(), r.output.end(), counts), end;
       it != end; ++it)
    seen.push_back(it->str());
  ASSERT_EQ(seen.size(), 2u) << r.output;
  EXPECT_EQ(seen[1], seen[0]) << "after the first stop, then after the last";

  // The log cut into the lives of the services, each from its starting line.
  std::vector<std::vector<std::string>> lives;
  for (const std::string& line : host.LogLines()) {
    if (line == kStartingLine) lives.emplace_back();
    ASSERT_FALSE(lives.empty()) << "logged before any start: " << line;
    lives.back().push_back(line);
  }
  ASSERT_EQ(lives.size(), static_cast<std::size_t>(kServices));
  for (int service = 1; service <= kServices; ++service) {
    const std::vector<std::string>& life = lives[service - 1];
    EXPECT_EQ(life.back(), kStoppedLine) << "service " << service;
    const std::string discovery =
        kDiscoveryLine + "P0 : " + std::to_string(service) + "a";
    EXPECT_EQ(std::count(life.begin(), life.end(), discovery), 1)
        << "service " << service;
  }
}

}  // namespace
}  // namespace pelmora::testing

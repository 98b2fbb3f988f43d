// The service log: line format, the size rule, exclusive opening, and the
// configuration directory it lives in.
#include <filesystem>
#include <regex>
#include <thread>

#include "config/log_messages.h"
#include "config/service_log.h"
#include "support/service_fixture.h"

namespace pelmora::testing {
namespace {

using LogTest = ServiceTest;

TEST_F(LogTest, WritesOneTimestampedCrLfLinePerMessage) {
  Service().Log("hello");
  Service().Log("");
  const std::string bytes = ReadFile(LogPath());
  std::regex line(
      "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}: hello\\r\\n"
      "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}: \\r\\n");
  EXPECT_TRUE(std::regex_match(bytes, line)) << bytes;
}

TEST_F(LogTest, MessagesAreWrittenAsTheirExactBytes) {
  Service().Log(messages::kServiceStopped);
  Service().Log("a\nb");
  EXPECT_EQ(Log(), (std::vector<std::string>{
                       "\xB7\xFE\xCE\xF1\xCD\xA3\xD6\xB9!", "a\nb"}));
}

TEST_F(LogTest, AFileOfExactlyOneMebibyteIsAppendedToThenEmptied) {
  WriteFile(LogPath(), std::string(kLogSizeLimit, 'x'));
  Service().Log("first");
  std::string bytes = ReadFile(LogPath());
  EXPECT_EQ(bytes.size(), kLogSizeLimit + 21 + 5 + 2);
  Service().Log("second");
  EXPECT_EQ(Log(), std::vector<std::string>{"second"});
}

TEST_F(LogTest, AFileOneByteOverTheLimitIsEmptiedFirst) {
  WriteFile(LogPath(), std::string(kLogSizeLimit + 1, 'x'));
  Service().Log("only");
  EXPECT_EQ(Log(), std::vector<std::string>{"only"});
}

TEST_F(LogTest, MissingDriversDirectoryDropsLinesAndCreatesNothing) {
  std::filesystem::remove_all(DriversDir());
  Service().Log("lost");
  EXPECT_FALSE(FileExists(DriversDir()));
}

TEST_F(LogTest, ALogFileHeldOpenElsewhereDropsTheLine) {
  Service().Log("before");
  {
    auto holder = env_.OpenLogFile(LogPath());
    ASSERT_TRUE(holder);
    Service().Log("dropped");
  }
  Service().Log("after");
  EXPECT_EQ(Log(), (std::vector<std::string>{"before", "after"}));
}

TEST_F(LogTest, ConcurrentWritersNeverMixLines) {
  LinkService& service = Service();
  constexpr int kLines = 200;
  auto writer = [&service](char c) {
    for (int i = 0; i < kLines; ++i) service.Log(std::string(40, c));
  };
  std::thread a(writer, 'a'), b(writer, 'b');
  a.join();
  b.join();
  std::vector<std::string> lines = Log();
  ASSERT_EQ(lines.size(), 2u * kLines);
  for (const std::string& line : lines) {
    EXPECT_TRUE(line == std::string(40, 'a') || line == std::string(40, 'b'))
        << line;
  }
}

class FixedPathEnv : public EnvWrapper {
 public:
  FixedPathEnv(std::string path, char separator)
      : EnvWrapper(Env::Default()),
        path_(std::move(path)),
        separator_(separator) {}
  std::string ExecutablePath() override { return path_; }
  char PathSeparator() override { return separator_; }

 private:
  std::string path_;
  char separator_;
};

TEST(HostTextForLogTest, EscapesControlBytesAndNeverCutsACharacter) {
  struct Case {
    std::string text;
    std::size_t max;
    const char* shown;
  } cases[] = {
      {"abcdef", 4, "abcd"},
      {"ab\xB2\xE2\xB5\xE3", 3, "ab"},          // 测 would be cut
      {"ab\xB2\xE2\xB5\xE3", 4, "ab\xB2\xE2"},  // 测 fits whole
      {"a\xB2", 2, "a\xB2"},                    // a lone lead byte
      {"a\r\n2099-01-01: X", 99, "a\\x0D\\x0A2099-01-01: X"},
      {std::string("n\0\t\x7F", 4), 99, "n\\x00\\x09\\x7F"},
      {"\xB2\n", 99, "\xB2\\x0A"},  // a control byte is never a trail
  };
  for (const Case& c : cases)
    EXPECT_EQ(HostTextForLog(c.text, c.max), c.shown) << c.text << " " << c.max;
}

TEST(ConfigDirTest, IsTheExecutablesDirectoryPlusDrivers) {
  struct Case {
    const char* exe;
    char separator;
    const char* dir;
  } cases[] = {
      {"D:\\Station\\bin\\Run.exe", '\\', "D:\\Station\\bin\\Drivers"},
      {"Run.exe", '\\', "\\Drivers"},
      {"/opt/station/run", '/', "/opt/station/Drivers"},
      {"", '/', "/Drivers"},
  };
  for (const Case& c : cases) {
    FixedPathEnv env(c.exe, c.separator);
    EXPECT_EQ(FindConfigDir(env), c.dir) << c.exe;
  }
}

}  // namespace
}  // namespace pelmora::testing

// The service log: line format, the size rule, exclusive opening, and the
// configuration directory it lives in.
#include <filesystem>
#include <regex>
#include <thread>

#include "config/log_messages.h"
#include "config/service_log.h"
#include "support/datagrams.h"
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

// Every message against its GBK bytes, written out here from the texts.
TEST(LogMessagesTest, AreTheirGbkBytes) {
  const struct {
    const char* message;
    const char* gbk;
  } cases[] = {
      {messages::kServiceStarting,  // socket 服务开始启动
       "73 6F 63 6B 65 74 20 B7 FE CE F1 BF AA CA BC C6 F4 B6 AF"},
      {messages::kLastPointFormat,  // 最后一个测点的标示为 %s : %s
       "D7 EE BA F3 D2 BB B8 F6 B2 E2 B5 E3 B5 C4 B1 EA CA BE CE AA 20 25 73 "
       "20 3A 20 25 73"},
      {messages::kStartingLink,  // 启动服务……
       "C6 F4 B6 AF B7 FE CE F1 A1 AD A1 AD"},
      {messages::kSocketCreateFailed,  // 创建UDP SOCKET失败
       "B4 B4 BD A8 55 44 50 20 53 4F 43 4B 45 54 CA A7 B0 DC"},
      {messages::kConnectFailed,  // 连接UDP服务器失败！
       "C1 AC BD D3 55 44 50 B7 FE CE F1 C6 F7 CA A7 B0 DC A3 A1"},
      {messages::kSendThreadCreateFailed,  // 创建数据发送线程失败！
       "B4 B4 BD A8 CA FD BE DD B7 A2 CB CD CF DF B3 CC CA A7 B0 DC A3 A1"},
      {messages::kManagementStarted,  // 管理线程启动！
       "B9 DC C0 ED CF DF B3 CC C6 F4 B6 AF A3 A1"},
      {messages::kManagementExited,  // 管理线程退出！
       "B9 DC C0 ED CF DF B3 CC CD CB B3 F6 A3 A1"},
      {messages::kSendStarted,  // 发送线程启动！
       "B7 A2 CB CD CF DF B3 CC C6 F4 B6 AF A3 A1"},
      {messages::kSendExited,  // 发送线程退出！
       "B7 A2 CB CD CF DF B3 CC CD CB B3 F6 A3 A1"},
      {messages::kConfigStarted,  // 配置线程启动！
       "C5 E4 D6 C3 CF DF B3 CC C6 F4 B6 AF A3 A1"},
      {messages::kConfigExited,  // 配置线程退出！
       "C5 E4 D6 C3 CF DF B3 CC CD CB B3 F6 A3 A1"},
      {messages::kStoppingLink,  // 停止服务……
       "CD A3 D6 B9 B7 FE CE F1 A1 AD A1 AD"},
      {messages::kServiceStopped,  // 服务停止!
       "B7 FE CE F1 CD A3 D6 B9 21"},
      {messages::kRecordTooLongFormat,  // 记录长度%u超过989字节，已丢弃：%s
       "BC C7 C2 BC B3 A4 B6 C8 25 75 B3 AC B9 FD 39 38 39 D7 D6 BD DA A3 AC "
       "D2 D1 B6 AA C6 FA A3 BA 25 73"},
      {messages::kOsErrorCodeFormat,  // 系统错误码：%d
       "CF B5 CD B3 B4 ED CE F3 C2 EB A3 BA 25 64"},
      {messages::kExportFailedFormat,  // 接口%s内部异常，已返回固定值
       "BD D3 BF DA 25 73 C4 DA B2 BF D2 EC B3 A3 A3 AC D2 D1 B7 B5 BB D8 B9 "
       "CC B6 A8 D6 B5"},
      {messages::kProfileUnreadableFormat,  // 配置文件%s无法读取，按缺省值处理
       "C5 E4 D6 C3 CE C4 BC FE 25 73 CE DE B7 A8 B6 C1 C8 A1 A3 AC B0 B4 C8 "
       "B1 CA A1 D6 B5 B4 A6 C0 ED"},
      {messages::kEventsRefusedFormat,  // 待发事件过多，本周期丢弃%u条
       "B4 FD B7 A2 CA C2 BC FE B9 FD B6 E0 A3 AC B1 BE D6 DC C6 DA B6 AA C6 "
       "FA 25 75 CC F5"},
      {messages::kPortUnusable,  // 服务端口为0，无法发送数据
       "B7 FE CE F1 B6 CB BF DA CE AA 30 A3 AC CE DE B7 A8 B7 A2 CB CD CA FD "
       "BE DD"},
  };
  for (const auto& c : cases) {
    const std::string bytes = c.message;
    EXPECT_EQ(Bytes(bytes.begin(), bytes.end()), Hex(c.gbk)) << c.gbk;
  }
}

// Reads a shown text back as the integration guide tells a reader to: a
// GBK lead byte and its trail as they are, \\ and \xNN as one byte each.
std::string ReadBack(const std::string& shown) {
  std::string text;
  for (std::size_t at = 0; at < shown.size();) {
    const auto c = static_cast<unsigned char>(shown[at]);
    if (c >= 0x81 && c <= 0xFE && at + 1 < shown.size()) {
      text += shown.substr(at, 2);
      at += 2;
    } else if (c == '\\' && shown.compare(at, 2, "\\\\") == 0) {
      text += '\\';
      at += 2;
    } else if (c == '\\' && shown.compare(at, 2, "\\x") == 0) {
      text +=
          static_cast<char>(std::stoi(shown.substr(at + 2, 2), nullptr, 16));
      at += 4;
    } else {
      text += shown[at++];
    }
  }
  return text;
}

TEST(HostTextForLogTest, EscapesControlBytesAndNeverCutsACharacter) {
  struct Case {
    std::string text;
    std::size_t max;
    const char* shown;
  } cases[] = {
      {"abcdef", 4, "abcd"},
      {"ab\xB2\xE2\xB5\xE3", 3, "ab"},          // 测 would be cut
      {"ab\xB2\xE2\xB5\xE3", 4, "ab\xB2\xE2"},  // 测 fits whole
      {"a\xB2", 2, "a\\xB2"},                   // a lone lead byte
      {"a\r\n2099-01-01: X", 99, "a\\x0D\\x0A2099-01-01: X"},
      {std::string("n\0\t\x7F", 4), 99, "n\\x00\\x09\\x7F"},
      {"\xB2\n", 99, "\\xB2\\x0A"},  // a control byte is never a trail
      // A lone lead byte before an escape must not take its backslash.
      {"\n\x81\n", 99, "\\x0A\\x81\\x0A"},
      {"\x81\x7F\x81\x40", 99, "\\x81\\x7F\x81\x40"},  // 0x7F is no trail
      {"\x80\n\x80", 99, "\x80\\x0A\x80"},  // 0x80 and 0xFF are no leads
      {"\xFF\x81", 99, "\xFF\\x81"},
      {"\xFE\xFE\x81\x80", 99, "\xFE\xFE\x81\x80"},
      // A backslash is escaped, one that trails a lead byte is not.
      {"C:\\x0A", 99, "C:\\\\x0A"},
      {"\x81\\\\", 99, "\x81\\\\\\"},
  };
  for (const Case& c : cases) {
    const std::string shown = HostTextForLog(c.text, c.max);
    EXPECT_EQ(shown, c.shown) << c.text << " " << c.max;
    if (c.max >= c.text.size()) {
      EXPECT_EQ(ReadBack(shown), c.text) << shown;
    }
  }
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

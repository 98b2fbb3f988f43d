// Pelmora.ini as the service reads and completes it at start, and the host's
// Module.ini that sizes the point table. In the win32 build the same cases
// run against the Windows profile functions.
#include <algorithm>
#include <cctype>
#include <filesystem>

#include "support/service_fixture.h"

namespace pelmora::testing {
namespace {

constexpr char kAdapterMac[] = "00:11:22:33:44:55";

std::string Lower(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

class ConfigTest : public ServiceTest {
 protected:
  // A second start of the service over the same files.
  LinkService& Restart() {
    service_.reset();
    return Service();
  }
};

TEST_F(ConfigTest, AMissingFileIsCreatedWithTheAdaptersMacAndTheDefaults) {
  LinkService& service = Service();
  EXPECT_EQ(FileLines(ConfigPath()),
            (std::vector<std::string>{
                "[SERVERSET]", std::string("MAC=") + kAdapterMac,
                "ADDR=127.0.0.1", "PORT=7000", "COUNT=5"}));
  EXPECT_EQ(service.settings().GetMacText(), kAdapterMac);
  const MacBytes expected = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  EXPECT_EQ(service.settings().macBytes(), expected);
  EXPECT_EQ(service.settings().GetServerAddress(), "127.0.0.1");
  EXPECT_EQ(service.settings().GetServerPort(), 7000u);
  EXPECT_EQ(service.settings().countSetting(), 5u);
  EXPECT_EQ(env_.adapterQueries, 1);
}

// Files whose MAC is missing or the all-zero text: the adapter's MAC is
// taken and every setting written back, existing keys in place and new ones
// at the end of the section.
TEST_F(ConfigTest, AnUnsetMacIsReplacedAndTheSettingsWrittenBack) {
  struct Case {
    const char* file;
    std::vector<std::string> after;
    std::string address;
    std::uint32_t port;
  };
  const Case cases[] = {
      {"[SERVERSET]\r\nADDR=127.1.2.3\r\nPORT=7100\r\n",
       {"[SERVERSET]", "ADDR=127.1.2.3", "PORT=7100", "MAC=00:11:22:33:44:55",
        "COUNT=5"},
       "127.1.2.3",
       7100},
      {"[SERVERSET]\r\nMAC=00:00:00:00:00:00\r\nADDR=127.1.2.3\r\n",
       {"[SERVERSET]", "MAC=00:11:22:33:44:55", "ADDR=127.1.2.3", "PORT=7000",
        "COUNT=5"},
       "127.1.2.3",
       7000},
      {"[SERVERSET]\r\nMAC =  00:00:00:00:00:00  \r\n",
       {"[SERVERSET]", "MAC=00:11:22:33:44:55", "ADDR=127.0.0.1", "PORT=7000",
        "COUNT=5"},
       "127.0.0.1",
       7000},
      {"[SERVERSET]\r\nPORT=70000\r\n",
       {"[SERVERSET]", "PORT=70000", "MAC=00:11:22:33:44:55", "ADDR=127.0.0.1",
        "COUNT=5"},
       "127.0.0.1",
       70000},
      {"[SERVERSET]\r\nPORT=-1\r\n",
       {"[SERVERSET]", "PORT=4294967295", "MAC=00:11:22:33:44:55",
        "ADDR=127.0.0.1", "COUNT=5"},
       "127.0.0.1",
       4294967295u},
      {"[OTHER]\r\nMAC=0A:0B:0C:0D:0E:0F\r\n",
       {"[OTHER]", "MAC=0A:0B:0C:0D:0E:0F", "[SERVERSET]",
        "MAC=00:11:22:33:44:55", "ADDR=127.0.0.1", "PORT=7000", "COUNT=5"},
       "127.0.0.1",
       7000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    WriteFile(ConfigPath(), c.file);
    LinkService& service = Restart();
    EXPECT_EQ(FileLines(ConfigPath()), c.after);
    EXPECT_EQ(service.settings().GetMacText(), kAdapterMac);
    EXPECT_EQ(service.settings().GetServerAddress(), c.address);
    EXPECT_EQ(service.settings().GetServerPort(), c.port);
  }
}

// A MAC of any other value, valid or not, is used as it stands: the
// adapters are not asked and the file is not touched.
TEST_F(ConfigTest, AConfiguredMacIsNeitherLookedUpNorWritten) {
  struct Case {
    std::string mac;
    std::string read;
    std::uint8_t bytes[6];
  };
  const std::string tooLong = [] {
    std::string text;
    while (text.size() < 300) text += "0A:";
    return text;
  }();
  const Case cases[] = {
      {"0A:1B:2C:3D:4E:5F",
       "0A:1B:2C:3D:4E:5F",
       {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}},
      {"0a-1b-2c-3d-4e-5f", "0a-1b-2c-3d-4e-5f", {0x0A, 0, 0, 0, 0, 0}},
      {"not a mac at all", "not a mac at all", {}},
      {"00:00:00:00:00:00:00", "00:00:00:00:00:00:00", {}},
      {"", "", {}},
      {tooLong, tooLong.substr(0, 259), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("MAC=" + c.mac);
    const std::string file =
        "[SERVERSET]\r\nMAC=" + c.mac + "\r\nADDR=127.0.0.9\r\n";
    WriteFile(ConfigPath(), file);
    env_.adapterQueries = 0;
    LinkService& service = Restart();
    EXPECT_EQ(service.settings().GetMacText(), c.read);
    EXPECT_TRUE(
        std::equal(c.bytes, c.bytes + 6, service.settings().macBytes().data()));
    EXPECT_EQ(service.settings().GetServerAddress(), "127.0.0.9");
    EXPECT_EQ(service.settings().GetServerPort(), 7000u);
    EXPECT_EQ(env_.adapterQueries, 0);
    EXPECT_EQ(ReadFile(ConfigPath()), file);
  }
}

TEST_F(ConfigTest, WithoutAnAdapterTheEmptyMacIsStoredAndKept) {
  env_.adapters.emplace();
  EXPECT_EQ(Service().settings().GetMacText(), "");
  EXPECT_EQ(FileLines(ConfigPath()),
            (std::vector<std::string>{"[SERVERSET]", "MAC=", "ADDR=127.0.0.1",
                                      "PORT=7000", "COUNT=5"}));
  const std::string written = ReadFile(ConfigPath());

  env_.adapters = {{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}};
  env_.adapterQueries = 0;
  LinkService& again = Restart();
  EXPECT_EQ(env_.adapterQueries, 0) << "an empty MAC is a stored choice";
  EXPECT_EQ(again.settings().GetMacText(), "");
  const std::uint8_t zeros[6] = {};
  EXPECT_TRUE(std::equal(zeros, zeros + 6, again.settings().macBytes().data()));
  EXPECT_EQ(ReadFile(ConfigPath()), written);
}

TEST_F(ConfigTest, AFileThatCannotBeWrittenIsLeftUnsavedAndTheServiceRuns) {
  WriteFile(ConfigPath(), "[SERVERSET]\r\nMAC=00:00:00:00:00:00\r\n");
  env_.failProfileWrites = 5;  // ERROR_ACCESS_DENIED: a read-only file
  EXPECT_EQ(Service().settings().GetMacText(), kAdapterMac);
  EXPECT_EQ(Service().StartLink(), 1);
  Service().StopLink();
  EXPECT_EQ(env_.lastConnect.port, 7000);
}

TEST_F(ConfigTest, AFileThatCannotBeReadGivesTheDefaultsAndALogLine) {
  std::filesystem::create_directory(ConfigPath());
  std::filesystem::create_directory(dir_.File("Module.ini"));
  EXPECT_EQ(Service().settings().GetServerAddress(), "127.0.0.1");
  EXPECT_EQ(Service().settings().GetServerPort(), 7000u);
  EXPECT_EQ(Service().settings().hashSize(), 2001u);
  EXPECT_EQ(Service().StartLink(), 1);
  Service().StopLink();
  // 配置文件<path>无法读取，按缺省值处理, each followed by 系统错误码：<code>
  const std::string unreadable = "\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE";
  const std::string rest =
      "\xCE\xDE\xB7\xA8\xB6\xC1\xC8\xA1\xA3\xAC\xB0\xB4\xC8\xB1\xCA\xA1"
      "\xD6\xB5\xB4\xA6\xC0\xED";
  const std::string code = "\xCF\xB5\xCD\xB3\xB4\xED\xCE\xF3\xC2\xEB\xA3\xBA";
  const std::vector<std::string> log = Log();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[0], unreadable + ConfigPath() + rest);
  EXPECT_EQ(log[1].rfind(code, 0), 0u) << log[1];
  EXPECT_EQ(log[2], unreadable + dir_.File("Module.ini") + rest);
  EXPECT_EQ(log[3].rfind(code, 0), 0u) << log[3];
}

TEST_F(ConfigTest, AnEmptyAddressIsReadAsEmptyNotAsTheDefault) {
  WriteFile(ConfigPath(), "[SERVERSET]\r\nMAC=0A:1B:2C:3D:4E:5F\r\nADDR=\r\n");
  EXPECT_EQ(Service().settings().GetServerAddress(), "");
}

TEST_F(ConfigTest, CountInAnyLetterCaseIsOneKey) {
  WriteFile(ConfigPath(),
            "[serverset]\r\nMAC=00:00:00:00:00:00\r\ncount=9\r\n");
  EXPECT_EQ(Service().settings().countSetting(), 9u);
  std::vector<std::string> counts;
  for (const std::string& line : FileLines(ConfigPath()))
    if (Lower(line).rfind("count=", 0) == 0) counts.push_back(line.substr(6));
  EXPECT_EQ(counts, std::vector<std::string>{"9"}) << ReadFile(ConfigPath());
}

TEST_F(ConfigTest, SaveConfigWritesTheCurrentSettings) {
  WriteFile(ConfigPath(),
            "[SERVERSET]\r\nMAC=0A:1B:2C:3D:4E:5F\r\nCOUNT=3\r\n");
  LinkService& service = Service();
  service.settings().SetServerAddress("127.168.7.1");
  service.settings().SetServerPort(7200);
  service.settings().SetMacText("01:02:03:04:05:06");
  service.settings().Save();
  EXPECT_EQ(
      FileLines(ConfigPath()),
      (std::vector<std::string>{"[SERVERSET]", "MAC=01:02:03:04:05:06",
                                "COUNT=3", "ADDR=127.168.7.1", "PORT=7200"}));
  LinkService& again = Restart();
  EXPECT_EQ(again.settings().GetServerAddress(), "127.168.7.1");
  EXPECT_EQ(again.settings().GetServerPort(), 7200u);
  EXPECT_EQ(again.settings().countSetting(), 3u);
}

class ConfigModuleIniTest : public ServiceTest {
 protected:
  std::string ModuleIni() const { return dir_.File("Module.ini"); }
};

TEST_F(ConfigModuleIniTest, HashSizeSizesThePointTable) {
  struct Case {
    const char* file;  // null: no Module.ini
    std::uint32_t hashSize;
    std::size_t buckets;
  };
  const Case cases[] = {
      {nullptr, 2001, 2001},
      {"[Other]\r\nHashSize=50\r\n", 2001, 2001},
      {"[OutLink]\r\nHashSize=4999\r\n", 4999, 4999},
      {"[outlink]\r\nhashsize=97\r\n", 97, 97},
      {"[OutLink]\r\nHashSize=0\r\n", 0, 2001},
      {"[OutLink]\r\nHashSize=2000000\r\n", 2000000, kMaxHashSize},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file ? c.file : "no Module.ini");
    if (c.file) WriteFile(ModuleIni(), c.file);
    service_.reset();
    EXPECT_EQ(Service().settings().hashSize(), c.hashSize);
    EXPECT_EQ(Service().points().BucketCount(), c.buckets);
  }
}

}  // namespace
}  // namespace pelmora::testing

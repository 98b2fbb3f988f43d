// The settings dialog as the POSIX build shows it: a text form on the
// host's terminal, driven here through std::cin and std::cout.
#include <iostream>
#include <sstream>

#include "support/datagrams.h"
#include "support/service_fixture.h"
#include "ui/settings_dialog.h"

namespace pelmora::testing {
namespace {

constexpr char kCaptionLine[] = "== 通信参数设置 ==\n";

// Points std::cin and std::cout at strings for the life of the object.
class Terminal {
 public:
  explicit Terminal(const std::string& input)
      : in_(input),
        oldIn_(std::cin.rdbuf(in_.rdbuf())),
        oldOut_(std::cout.rdbuf(out_.rdbuf())) {}
  ~Terminal() {
    std::cin.rdbuf(oldIn_);
    std::cin.clear();
    std::cout.rdbuf(oldOut_);
  }
  std::string Output() const { return out_.str(); }

 private:
  std::istringstream in_;
  std::ostringstream out_;
  std::streambuf* oldIn_;
  std::streambuf* oldOut_;
};

class SettingsTextFormTest : public ServiceTest {
 protected:
  // Each form the dialog printed, from its caption line on.
  std::vector<std::string> RunForms(const std::string& input) {
    LinkService& service = Service();
    Terminal terminal(input);
    RunSettingsDialog(service, env_);
    const std::string output = terminal.Output();
    std::vector<std::string> forms;
    for (std::size_t at = output.find(kCaptionLine); at != std::string::npos;) {
      const std::size_t next = output.find(kCaptionLine, at + 1);
      forms.push_back(
          output.substr(at, next == std::string::npos ? next : next - at));
      at = next;
    }
    return forms;
  }
  std::string Saved(const char* key) {
    return env_.ReadProfileString(ConfigPath(), "SERVERSET", key, "<none>");
  }
};

TEST_F(SettingsTextFormTest, ShowsLabelsAndMarksTheSelectedStation) {
  env_.adapters = {{0, 0x11, 0x22, 0x33, 0x44, 0xAA},
                   {0, 0x11, 0x22, 0x33, 0x44, 0xBB}};
  env_.WriteProfileEntry(ConfigPath(), "SERVERSET", "MAC", "00:11:22:33:44:bb");
  const std::vector<std::string> forms = RunForms("station 9\nstation 0\n");
  ASSERT_EQ(forms.size(), 3u);
  const std::string& first = forms[0];
  for (const char* text : {"本地标识:\n", "    00:11:22:33:44:AA\n",
                           "  * 00:11:22:33:44:BB\n", "服务地址: 127.0.0.1\n",
                           "服务端口: 7000\n", "更新配置", "确定", "取消"}) {
    EXPECT_NE(first.find(text), std::string::npos) << text << " in\n" << first;
  }
  EXPECT_NE(forms[1].find("  * 00:11:22:33:44:BB\n"), std::string::npos)
      << "out of range";
  EXPECT_NE(forms[2].find("  * 00:11:22:33:44:AA\n"), std::string::npos)
      << forms[2];
  EXPECT_NE(forms[2].find("    00:11:22:33:44:BB\n"), std::string::npos)
      << forms[2];
}

TEST_F(SettingsTextFormTest, OnlyOkAppliesTheEditedFields) {
  struct Case {
    const char* input;
    const char* address;
    std::uint32_t port;
  };
  const Case cases[] = {
      {"addr 127.0.0.9\nport 7001\nok\nport 1\n", "127.0.0.9", 7001},
      {"bogus\nport 7002\nok\n", "127.0.0.1", 7002},
      {"port 7001\ncancel\nok\n", "127.0.0.1", 7000},
      {"addr 127.0.0.9\nport 7001\n", "127.0.0.1", 7000},  // end of input
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    Service().settings().SetServerAddress("127.0.0.1");
    Service().settings().SetServerPort(7000);
    Service().settings().Save();
    const std::string ini = ReadFile(ConfigPath());
    RunForms(c.input);
    EXPECT_EQ(Service().settings().GetServerAddress(), c.address);
    EXPECT_EQ(Service().settings().GetServerPort(), c.port);
    if (std::string(c.address) == "127.0.0.1" && c.port == 7000) {
      EXPECT_EQ(ReadFile(ConfigPath()), ini);
    } else {
      EXPECT_EQ(Saved("ADDR"), c.address);
      EXPECT_EQ(Saved("PORT"), std::to_string(c.port));
    }
    if (Service().IsLinkStarted()) Service().StopLink();
  }
}

TEST_F(SettingsTextFormTest, UpdateSendsTheSnapshotAndTheFormStaysOpen) {
  PushRound({"A", "A"});
  OpenLink();
  const std::vector<std::string> forms = RunForms("update\ncancel\n");
  EXPECT_EQ(forms.size(), 2u);
  const std::vector<Bytes> sent = env_.Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(KindOf(sent[0]), 0xFF);
  EXPECT_EQ(RecordsOf(sent[0]), std::vector<std::string>{"A|v"});
}

}  // namespace
}  // namespace pelmora::testing

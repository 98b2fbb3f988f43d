// The settings dialog's behaviour behind a recording view: what it shows,
// which station it marks, and what OK stores, saves and restarts.
#include <algorithm>
#include <chrono>
#include <thread>

#include "config/log_messages.h"
#include "support/datagrams.h"
#include "support/service_fixture.h"
#include "ui/settings_dialog.h"

namespace pelmora::testing {
namespace {

class RecordingView : public SettingsView {
 public:
  void AddStation(const std::string& text) override {
    stations.push_back(text);
  }
  void SelectStation(int index) override { selected = index; }
  void SetAddressText(const std::string& text) override { address = text; }
  std::string AddressText() override { return address; }
  void SetPortText(const std::string& text) override { port = text; }
  // Whole texts, longer than any field holds, so that the dialog's own
  // limits are what counts.
  std::string PortText() override { return port; }

  std::vector<std::string> stations;
  int selected = -2;
  std::string address;
  std::string port;
};

std::size_t Snapshots(const std::vector<Bytes>& sent) {
  return static_cast<std::size_t>(
      std::count_if(sent.begin(), sent.end(),
                    [](const Bytes& d) { return KindOf(d) == 0xFF; }));
}

class SettingsDialogTest : public ServiceTest {
 protected:
  std::string Saved(const char* key) {
    return env_.ReadProfileString(ConfigPath(), "SERVERSET", key, "<none>");
  }
  long LogCount(const char* line) const {
    const std::vector<std::string> log = Log();
    return std::count(log.begin(), log.end(), line);
  }
};

TEST_F(SettingsDialogTest, StationToSelectSearchesFromTheSecondEntryAndWraps) {
  const std::string a = "00:11:22:33:44:AA", b = "00:11:22:33:44:BB",
                    c = "00:11:22:33:44:CC";
  struct Case {
    std::vector<std::string> entries;
    std::string mac;
    int expected;
  };
  const Case cases[] = {
      {{a, b, c}, "00:11:22:33:44:bb", 1},
      {{b, a, b, b}, b, 2},
      {{b, a, c}, b, 0},
      {{b}, b, 0},
      {{a, c}, b, -1},
      {{}, b, -1},
  };
  for (const Case& c : cases) {
    std::string entries;
    for (const std::string& e : c.entries) entries += " " + e;
    EXPECT_EQ(SettingsDialog::StationToSelect(c.entries, c.mac), c.expected)
        << "mac " << c.mac << " in" << entries;
  }
}

TEST_F(SettingsDialogTest, PortFromTextReadsLikeAtoi) {
  const std::pair<const char*, std::uint32_t> cases[] = {
      {" 42", 42}, {"+7", 7}, {"-1", 4294967295u}, {"12ab", 12},
      {"abc", 0},  {"", 0},   {"- 1", 0},          {"99999999", 99999999},
  };
  for (const auto& [text, port] : cases)
    EXPECT_EQ(SettingsDialog::PortFromText(text), port) << "\"" << text << "\"";
}

TEST_F(SettingsDialogTest, InitialiseShowsAdaptersSelectionAddressAndPort) {
  env_.adapters = {{0, 0x11, 0x22, 0x33, 0x44, 0xAA},
                   {0, 0x11, 0x22, 0x33, 0x44, 0xBB},
                   {0, 0x11, 0x22, 0x33, 0x44, 0x0C}};
  env_.WriteProfileEntry(ConfigPath(), "SERVERSET", "MAC", "00:11:22:33:44:bb");
  env_.WriteProfileEntry(ConfigPath(), "SERVERSET", "ADDR", "127.0.0.2");
  env_.WriteProfileEntry(ConfigPath(), "SERVERSET", "PORT", "7100");
  SettingsDialog dialog(Service(), env_);
  RecordingView view;
  dialog.Initialise(view);
  EXPECT_EQ(view.stations,
            (std::vector<std::string>{"00:11:22:33:44:AA", "00:11:22:33:44:BB",
                                      "00:11:22:33:44:0C"}));
  EXPECT_EQ(view.selected, 1);
  EXPECT_EQ(view.address, "127.0.0.2");
  EXPECT_EQ(view.port, "7100");

  Service().settings().SetServerPort(4294967295u);
  RecordingView again;
  dialog.Initialise(again);
  EXPECT_EQ(again.port, "4294967295");
}

TEST_F(SettingsDialogTest, OkStoresAndSavesOnlyAChangedAddressOrPort) {
  struct Case {
    const char* address;
    const char* port;
    const char* storedAddress;
    std::uint32_t storedPort;
  };
  const Case cases[] = {
      {"127.0.0.1", "7000", "127.0.0.1", 7000},    // unchanged
      {"127.0.0.1", " 7000x", "127.0.0.1", 7000},  // other text, same value
      {"127.0.0.1", "7001", "127.0.0.1", 7001},
      {"127.0.0.1", "abc", "127.0.0.1", 0},
      {"127.0.0.1", "70x1", "127.0.0.1", 70},
      {"127.0.0.1", "123456789", "127.0.0.1", 12345678},
      {"127.168.100.200", "7000", "127.168.100.200", 7000},
      {"127.168.100.2001", "7000", "127.168.100.200", 7000},
  };
  ASSERT_EQ(Service().StartLink(), 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("address \"") + c.address + "\" port \"" + c.port +
                 "\"");
    Service().settings().SetServerAddress("127.0.0.1");
    Service().settings().SetServerPort(7000);
    Service().settings().Save();
    const std::string ini = ReadFile(ConfigPath());
    // Every start opens a new socket; the log is not read while the
    // workers may hold it.
    const int socketsOpened = env_.socketsOpened;
    const bool changed =
        c.storedAddress != std::string("127.0.0.1") || c.storedPort != 7000;

    SettingsDialog dialog(Service(), env_);
    RecordingView view;
    dialog.Initialise(view);
    view.address = c.address;
    view.port = c.port;
    dialog.Ok(view);

    EXPECT_EQ(Service().settings().GetServerAddress(), c.storedAddress);
    EXPECT_EQ(Service().settings().GetServerPort(), c.storedPort);
    EXPECT_EQ(env_.socketsOpened != socketsOpened, changed) << "restarted";
    EXPECT_TRUE(Service().IsLinkStarted());
    if (changed) {
      EXPECT_EQ(Saved("ADDR"), c.storedAddress);
      EXPECT_EQ(Saved("PORT"), std::to_string(c.storedPort));
    } else {
      EXPECT_EQ(ReadFile(ConfigPath()), ini);
    }
  }
}

TEST_F(SettingsDialogTest, ANewPortRestartsTheLinkWhichSendsTheSnapshotAgain) {
  PushRound({"A", "B", "A"});
  ASSERT_EQ(Service().StartLink(), 1);
  ASSERT_TRUE(env_.WaitUntilSent(
      [](const std::vector<Bytes>& s) { return Snapshots(s) == 1; }));

  SettingsDialog dialog(Service(), env_);
  RecordingView view;
  dialog.Initialise(view);
  view.port = "7001";
  dialog.Ok(view);

  EXPECT_EQ(env_.lastConnect.port, 7001);
  ASSERT_TRUE(env_.WaitUntilSent(
      [](const std::vector<Bytes>& s) { return Snapshots(s) == 2; }));
  EXPECT_EQ(RecordsOf(env_.Sent().back()),
            (std::vector<std::string>{"A|v", "B|v"}));
  // The new configuration thread was let run: it pauses on its empty queue.
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  auto idlePauses = [this] {
    const std::vector<std::uint32_t> sleeps = env_.Sleeps();
    return std::count(sleeps.begin(), sleeps.end(), 300u);
  };
  while (idlePauses() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  EXPECT_GT(idlePauses(), 0);
}

TEST_F(SettingsDialogTest, TheStationChoiceIsNeverApplied) {
  env_.adapters = {{0, 0x11, 0x22, 0x33, 0x44, 0xAA},
                   {0, 0x11, 0x22, 0x33, 0x44, 0xBB}};
  const std::string mac = Service().settings().GetMacText();
  ASSERT_EQ(mac, "00:11:22:33:44:AA");
  SettingsDialog dialog(Service(), env_);
  RecordingView view;
  dialog.Initialise(view);
  ASSERT_EQ(view.selected, 0);
  view.SelectStation(1);
  view.port = "7001";
  dialog.Ok(view);
  EXPECT_EQ(Service().settings().GetMacText(), mac);
  EXPECT_EQ(Saved("MAC"), mac);
  EXPECT_EQ(Saved("PORT"), "7001");
}

TEST_F(SettingsDialogTest,
       UpdateSendsTheSnapshotAtOnceAndCancelKeepsEverything) {
  PushRound({"A", "B", "A"});
  OpenLink();
  const std::string ini = ReadFile(ConfigPath());
  SettingsDialog dialog(Service(), env_);
  RecordingView view;
  dialog.Initialise(view);
  view.address = "127.9.9.9";
  view.port = "1";
  dialog.Update();
  const std::vector<Bytes> sent = env_.Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(KindOf(sent[0]), 0xFF);
  EXPECT_EQ(RecordsOf(sent[0]), (std::vector<std::string>{"A|v", "B|v"}));
  // Cancel: the dialog closes without Ok.
  EXPECT_EQ(Service().settings().GetServerAddress(), "127.0.0.1");
  EXPECT_EQ(Service().settings().GetServerPort(), 7000u);
  EXPECT_EQ(ReadFile(ConfigPath()), ini);
  EXPECT_EQ(LogCount(messages::kStoppingLink), 0);
}

}  // namespace
}  // namespace pelmora::testing

// The real host program loading the real plug-in (the Linux library, and
// the Windows DLL under Wine), a real UDP receiver, the real log file.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>

#include "config/log_messages.h"
#include "host_run.h"
#include "point_mirror.h"
#include "support/wine_target.h"
#include "udp_receiver.h"

namespace pelmora::testing {
namespace {

class HostTest : public TargetTest {
 protected:
  // The configured server, whose receiver the next Run collects from, and
  // `next`, for the one that the settings name.
  void OpenServers(wire::UdpReceiver& next) {
    host_.Configure(OpenReceiverPort());
    std::string error;
    ASSERT_TRUE(next.Open("127.0.0.1", 0, &error)) << error;
  }

  // Runs `commands` with the first receiver configured. The settings form
  // on the host's terminal resends the snapshot, then moves the link to
  // `next`, and confirms with OK.
  HostResult RunMovingTo(wire::UdpReceiver& next,
                         const std::vector<std::string>& commands) {
    OpenServers(next);
    return host_.Run(commands, 300,
                     "update\nport " + std::to_string(next.port()) + "\nok\n");
  }
};

std::size_t IndexOf(const std::vector<std::string>& lines,
                    const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) - lines.begin();
}

std::vector<std::string> RecordsOfKind(const HostResult& r, std::uint8_t kind) {
  std::vector<std::string> records;
  for (const wire::Datagram& d : r.datagrams)
    if (d.kind == kind)
      records.insert(records.end(), d.records.begin(), d.records.end());
  return records;
}

// The start of the log line for records a stop dropped:
// 停止时未能发出N条记录，已丢弃
const char kDroppedAtStop[] =
    "\xCD\xA3\xD6\xB9\xCA\xB1\xCE\xB4\xC4\xDC\xB7\xA2\xB3\xF6";

bool LogsADropAtStop(const std::vector<std::string>& log) {
  return std::any_of(log.begin(), log.end(), [](const std::string& line) {
    return line.rfind(kDroppedAtStop, 0) == 0;
  });
}

// How long the host's UninitService took, from its "uninit N ms" line.
int UninitMs(const HostResult& r) {
  const std::size_t at = r.output.find("uninit ");
  return at == std::string::npos ? -1 : std::atoi(r.output.c_str() + at + 7);
}

// Events A|0 .. A|count-1, and every point of PREFIX0.. with `value`.
std::vector<std::string> Burst(const std::string& a, int count) {
  std::vector<std::string> events;
  for (int i = 0; i < count; ++i) events.push_back(a + "|" + std::to_string(i));
  return events;
}
std::map<std::string, std::string> Round(const std::string& prefix, int count,
                                         const std::string& value) {
  std::map<std::string, std::string> points;
  for (int i = 0; i < count; ++i) points[prefix + std::to_string(i)] = value;
  return points;
}

TEST_P(HostTest, ANormalRunLogsItsLinesInOrder) {
  host_.Configure(OpenReceiverPort());
  HostResult r = host_.Run({"init", "callback", "sleep", "200", "uninit"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("init 1\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("callback registered 0\n"), std::string::npos)
      << r.output;
  const std::vector<std::string> log = host_.LogLines();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front(), messages::kStartingLink);
  EXPECT_EQ(log.back(), messages::kServiceStopped);
  const std::size_t serviceStarting = IndexOf(log, messages::kServiceStarting);
  const std::size_t stopping = IndexOf(log, messages::kStoppingLink);
  ASSERT_LT(serviceStarting, stopping);
  for (const char* started :
       {messages::kManagementStarted, messages::kConfigStarted})
    EXPECT_LT(IndexOf(log, started), stopping) << started;
  for (const char* exited :
       {messages::kManagementExited, messages::kConfigExited})
    EXPECT_GT(IndexOf(log, exited), stopping) << exited;
  std::string lines;
  for (const std::string& line : log) lines += line + "\n";
  EXPECT_EQ(log.size(), 8u)
      << "no send-thread lines: discovery never completed\n"
      << lines;
}

TEST_P(HostTest, TheEndOfTheFirstRoundIsLoggedWithTheReturningPoint) {
  // A name that would end the log line and forge one of its own.
  const std::string forger = "A\r\n2099-01-01 00:00:00: FORGED";
  host_.Configure(OpenReceiverPort());
  HostResult r =
      host_.Run({"init", "update", forger, "1", "update", "B", "2", "update",
                 "C", "3", "update", forger, "9", "uninit"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::vector<std::string> log = host_.LogLines();
  const std::string discovery =
      "\xD7\xEE\xBA\xF3\xD2\xBB\xB8\xF6\xB2\xE2\xB5\xE3\xB5\xC4\xB1\xEA\xCA\xBE"
      "\xCE\xAA A\\x0D\\x0A2099-01-01 00:00:00: FORGED : 9";
  EXPECT_LT(IndexOf(log, discovery), log.size());
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& line) {
                            return line.find("FORGED") != std::string::npos;
                          }),
            1);
}

TEST_P(HostTest, SnapshotThenMergedChangesThenEvents) {
  host_.Configure(OpenReceiverPort());
  HostResult r = host_.Run(
      {"init", "event",  "early",  "x",  "round", "P",      "3",
       "0",    "update", "P0",     "1",  "sleep", "300",    "update",
       "P1",   "1",      "update", "P1", "2",     "update", "P1",
       "3",    "event",  "late",   "y",  "sleep", "2500",   "uninit"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.malformed, 0);
  ASSERT_FALSE(r.datagrams.empty());
  const wire::Datagram& first = r.datagrams.front();
  EXPECT_EQ(first.kind, wire::kKindSnapshot);
  EXPECT_EQ(first.records, (std::vector<std::string>{"P0|1", "P1|0", "P2|0"}));
  EXPECT_EQ(wire::MacText(first.mac), "00-11-22-33-44-55");
  EXPECT_EQ(RecordsOfKind(r, wire::kKindItem),
            std::vector<std::string>{"P1|3"});
  EXPECT_EQ(RecordsOfKind(r, wire::kKindEvent),
            (std::vector<std::string>{"early|x", "late|y"}));
}

TEST_P(HostTest, CallsOutOfOrderDoNothing) {
  host_.Configure(OpenReceiverPort());
  HostResult r = host_.Run({"update", "A", "1", "event", "a", "b", "callback",
                            "settings", "uninit", "init", "init", "uninit",
                            "uninit", "update", "A", "1"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::vector<std::string> log = host_.LogLines();
  EXPECT_EQ(std::count(log.begin(), log.end(), messages::kServiceStarting), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), messages::kManagementStarted),
            1);
  EXPECT_EQ(std::count(log.begin(), log.end(), messages::kServiceStopped), 1);
}

TEST_P(HostTest, NullTextsFromTheHostAreReadAsEmpty) {
  host_.Configure(OpenReceiverPort());
  HostResult r =
      host_.Run({"init", "nulls", "update", "A", "1", "update", "A", "2",
                 "sleep", "300", "nulls", "sleep", "1500", "uninit"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("nulls survived"), std::string::npos);
  std::vector<std::string> items = RecordsOfKind(r, wire::kKindItem);
  std::sort(items.begin(), items.end());
  EXPECT_EQ(items, (std::vector<std::string>{"N|", "|"}));
  EXPECT_EQ(RecordsOfKind(r, wire::kKindEvent),
            (std::vector<std::string>{"|", "|"}));
  EXPECT_EQ(RecordsOfKind(r, wire::kKindSnapshot),
            (std::vector<std::string>{"|", "N|", "A|2"}));
}

TEST_P(HostTest, ASecondServiceStartsDiscoveryAfresh) {
  host_.Configure(OpenReceiverPort());
  HostResult r = host_.Run(
      {"init",   "round", "A",      "2",     "1",     "update", "A0", "2",
       "sleep",  "300",   "uninit", "init",  "round", "B",      "1",  "1",
       "update", "B0",    "2",      "sleep", "300",   "uninit"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  std::vector<std::vector<std::string>> snapshots;
  for (const wire::Datagram& d : r.datagrams)
    if (d.kind == wire::kKindSnapshot) snapshots.push_back(d.records);
  EXPECT_EQ(snapshots, (std::vector<std::vector<std::string>>{{"A0|2", "A1|1"},
                                                              {"B0|2"}}));
}

TEST_P(HostTest, AReplayedCsvEndsWithItsLastRoundAtTheReceiver) {
  // A header; a name with a comma; a bar, quotes and GBK text in values; a
  // short row, whose point keeps its round-2 value; "" pushes an empty value.
  WriteFile(host_.path() + "/rounds.csv",
            "#point,round 1,round 2,round 3\r\n"
            "\"Tank, north\",1.0,1.5,2.25\r\n"
            "Pump,on,off,on|auto\n"
            "Label,a,\"say \"\"hi\"\"\",\"\xD6\xD0\xCE\xC4\"\n"
            "Spare,7,8\n"
            "Note,x,y,\"\"\n");
  host_.Configure(OpenReceiverPort());
  HostResult r = host_.Run({"init", "replay", "rounds.csv", "200", "sleep",
                            "1500", "uninit", "dump", "dump.txt"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.malformed, 0);
  wire::PointMirror mirror;
  for (const wire::Datagram& d : r.datagrams) mirror.Apply(d);
  const std::map<std::string, std::string> last = {
      {"Tank, north", "2.25"},
      {"Pump", "on|auto"},
      {"Label", "\xD6\xD0\xCE\xC4"},
      {"Spare", "8"},
      {"Note", ""}};
  EXPECT_EQ(mirror.points(), last);
  EXPECT_EQ(ReadFile(host_.path() + "/dump.txt"),
            "Label|\xD6\xD0\xCE\xC4\nNote|\nPump|on|auto\nSpare|8\n"
            "Tank, north|2.25\n");

  WriteFile(host_.path() + "/open.csv", "A,1\nB,\"2\n");
  HostResult bad = host_.Run({"replay", "open.csv", "0"});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_NE(bad.output.find("open.csv: line 2:"), std::string::npos)
      << bad.output;
}

TEST_P(HostTest, StdcallExportsLeaveTheCallersStackBalanced) {
  if (GetParam().name != "win32")
    GTEST_SKIP() << "stdcall exists on 32-bit Windows only"
                 << (GetParam().name == "win64"
                         ? "; the Windows suites run on the 64-bit DLL here: " +
                               SelectedWineTarget().reason
                         : "");
  host_.Configure(OpenReceiverPort());
  HostResult r = host_.Run({"stackcheck", "init", "stackcheck", "uninit"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  for (const char* fn : {"UpdateItem", "SendEventEx", "SetWriteCallback"}) {
    const std::string line = std::string("stack ") + fn + " 0\n";
    std::size_t first = r.output.find(line);
    ASSERT_NE(first, std::string::npos) << r.output;
    EXPECT_NE(r.output.find(line, first + 1), std::string::npos) << r.output;
  }
}

TEST_P(HostTest, TheSettingsTextFormChangesThePortAndTheLinkStartsAgain) {
  if (GetParam().underWine)
    GTEST_SKIP() << "the Windows dialog has a test of its own";
  // A second receiver takes what the link sends after OK.
  wire::UdpReceiver next;
  HostResult r =
      RunMovingTo(next, {"init", "round", "P", "2", "1", "update", "P0", "2",
                         "sleep", "300", "settings", "sleep", "300", "uninit"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("\xE9\x80\x9A\xE4\xBF\xA1"), std::string::npos)
      << r.output;
  // The update command resent the snapshot to the first receiver.
  std::vector<std::vector<std::string>> snapshots;
  for (const wire::Datagram& d : r.datagrams)
    if (d.kind == wire::kKindSnapshot) snapshots.push_back(d.records);
  EXPECT_EQ(snapshots, (std::vector<std::vector<std::string>>{
                           {"P0|2", "P1|1"}, {"P0|2", "P1|1"}}));
  // OK saved the port and restarted the link, which sent the snapshot anew.
  EXPECT_NE(ReadFile(host_.Drivers("Pelmora.ini"))
                .find("PORT=" + std::to_string(next.port())),
            std::string::npos);
  std::vector<std::uint8_t> bytes;
  wire::Datagram datagram;
  std::string error;
  ASSERT_TRUE(next.Receive(&bytes, 2000));
  ASSERT_TRUE(
      wire::ParseDatagram(bytes.data(), bytes.size(), &datagram, &error))
      << error;
  EXPECT_EQ(datagram.kind, wire::kKindSnapshot);
  EXPECT_EQ(datagram.records, (std::vector<std::string>{"P0|2", "P1|1"}));
}

TEST_P(HostTest, ARestartFromTheSettingsDeliversWhatWasPendingToTheOldServer) {
  if (GetParam().underWine)
    GTEST_SKIP() << "the Windows dialog has a test of its own";
  wire::UdpReceiver next;
  ASSERT_NO_FATAL_FAILURE(OpenServers(next));
  HostResult r = host_.Run(
      {"init",   "round", "P",    "40",       "0",     "update", "P0",
       "0",      "sleep", "1000", "round",    "P",     "40",     "2",
       "events", "e",     "100",  "settings", "sleep", "300",    "uninit"},
      300, "port " + std::to_string(next.port()) + "\nok\n");
  ASSERT_EQ(r.exitCode, 0) << r.output;
  wire::PointMirror old;
  for (const wire::Datagram& d : r.datagrams) old.Apply(d);
  EXPECT_EQ(old.points(), Round("P", 40, "2"));
  EXPECT_EQ(RecordsOfKind(r, wire::kKindEvent), Burst("e", 100));
}

TEST_P(HostTest, AStopRightAfterARoundAndABurstDeliversThemWhole) {
  host_.Configure(OpenReceiverPort());
  // Paced, the 340 records would take about two seconds to leave.
  HostResult r = host_.Run({"init", "round", "P", "40", "0", "update", "P0",
                            "0", "sleep", "1000", "round", "P", "40", "1",
                            "events", "burst", "300", "uninit"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  wire::PointMirror mirror;
  for (const wire::Datagram& d : r.datagrams) mirror.Apply(d);
  EXPECT_EQ(mirror.points(), Round("P", 40, "1"));
  EXPECT_EQ(RecordsOfKind(r, wire::kKindEvent), Burst("burst", 300));
  EXPECT_FALSE(LogsADropAtStop(host_.LogLines()));
  EXPECT_LT(UninitMs(r), 1000) << r.output;
}

TEST_P(HostTest, WithNothingListeningTheStopStillEndsInTime) {
  int port;
  {
    wire::UdpReceiver gone;
    std::string error;
    ASSERT_TRUE(gone.Open("127.0.0.1", 0, &error)) << error;
    port = gone.port();
  }
  host_.Configure(port);
  HostResult r = host_.Run({"init", "round", "P", "40", "0", "update", "P0",
                            "0", "sleep", "1000", "round", "P", "40", "1",
                            "events", "burst", "300", "uninit"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const int ms = UninitMs(r);
  EXPECT_GE(ms, 0) << r.output;
  EXPECT_LT(ms, 1500) << r.output;
}

// Points that host threads push for the first time after the first round
// are in every snapshot from then on, after the first round's points, each
// thread's in the order it pushed them: the update button gives the server
// every point, and so does the restart on a new port after OK.
TEST_P(HostTest, SnapshotsAfterTheFirstRoundHoldEveryPointOfEveryThread) {
  if (GetParam().underWine)
    GTEST_SKIP() << "the Windows dialog has a test of its own";
  wire::UdpReceiver next;
  const std::string dump = host_.path() + "/pushed.txt";
  HostResult r = RunMovingTo(
      next, {"init", "round",    "X",     "3",   "0",    "update", "X0",
             "1",    "threads",  "4",     "100", "3",    "20",     "sleep",
             "300",  "settings", "sleep", "500", "dump", dump,     "uninit"});
  std::string error;
  ASSERT_EQ(r.exitCode, 0) << r.output;
  std::map<std::string, std::string> pushed;
  std::istringstream lines(ReadFile(dump));
  for (std::string line; std::getline(lines, line);)
    pushed[line.substr(0, line.find('|'))] = line.substr(line.find('|') + 1);
  ASSERT_EQ(pushed.size(), 403u);

  // The snapshot sent at the end of the first round held its three points;
  // the update button's, sent last, holds every point.
  std::vector<std::string> snapshot;
  for (const wire::Datagram& d : r.datagrams) {
    if (d.kind != wire::kKindSnapshot) continue;
    if (d.records.front().rfind("X0|", 0) == 0) snapshot.clear();
    snapshot.insert(snapshot.end(), d.records.begin(), d.records.end());
  }
  auto expectEveryPointInOrder = [&pushed](
                                     const std::vector<std::string>& records) {
    ASSERT_EQ(records.size(), pushed.size());
    EXPECT_EQ(std::vector<std::string>(records.begin(), records.begin() + 3),
              (std::vector<std::string>{"X0|1", "X1|0", "X2|0"}));
    std::map<std::string, int> nextOfThread;
    for (const std::string& record : records) {
      const std::string name = record.substr(0, record.find('|'));
      EXPECT_EQ(record.substr(name.size() + 1), pushed[name]) << record;
      if (name[0] != 'T') continue;
      const std::string thread = name.substr(0, name.find('P'));
      EXPECT_EQ(std::stoi(name.substr(thread.size() + 1)),
                nextOfThread[thread]++)
          << record;
    }
  };
  expectEveryPointInOrder(snapshot);

  // After OK the new server's snapshot alone holds every point, and what
  // it mirrors is the host's last value of each.
  std::vector<std::string> restarted;
  wire::PointMirror mirror;
  std::vector<std::uint8_t> bytes;
  while (next.Receive(&bytes, 1000)) {
    wire::Datagram datagram;
    ASSERT_TRUE(
        wire::ParseDatagram(bytes.data(), bytes.size(), &datagram, &error))
        << error;
    mirror.Apply(datagram);
    if (datagram.kind == wire::kKindSnapshot)
      restarted.insert(restarted.end(), datagram.records.begin(),
                       datagram.records.end());
  }
  expectEveryPointInOrder(restarted);
  EXPECT_EQ(mirror.points(), pushed);
}

INSTANTIATE_TEST_SUITE_P(Targets, HostTest, ::testing::ValuesIn(Targets()),
                         TargetName);

}  // namespace
}  // namespace pelmora::testing

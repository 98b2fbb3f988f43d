// The link as the send thread runs it: snapshot first, then the queue; the
// stop paths; and the send time-out.
#include <algorithm>
#include <set>
#include <thread>

#include "config/log_messages.h"
#include "support/datagrams.h"
#include "support/service_fixture.h"

namespace pelmora::testing {
namespace {

using LinkTest = ServiceTest;

std::vector<std::string> AllRecords(const std::vector<Bytes>& datagrams,
                                    std::uint8_t kind) {
  std::vector<std::string> records;
  for (const Bytes& d : datagrams) {
    if (KindOf(d) != kind) continue;
    for (std::string& r : RecordsOf(d)) records.push_back(std::move(r));
  }
  return records;
}

TEST_F(LinkTest, StartConnectsToTheConfiguredServer) {
  Service().settings().SetServerAddress("127.0.0.2");
  Service().settings().SetServerPort(70000);
  ASSERT_EQ(Service().StartLink(), 1);
  EXPECT_EQ(env_.lastConnect.address, env_.ParseIpv4("127.0.0.2"));
  EXPECT_EQ(env_.lastConnect.port, 4464);
  EXPECT_EQ(Service().StartLink(), 0) << "a started link is not replaced";
  Service().StopLink();
  // Port 65536 is port 0 on the wire: said as the link starts.
  Service().settings().SetServerPort(65536);
  ASSERT_EQ(Service().StartLink(), 1);
  Service().StopLink();
  const std::vector<std::string> log = Log();
  const std::string unusable =  // 服务端口为0，无法发送数据
      "\xB7\xFE\xCE\xF1\xB6\xCB\xBF\xDA\xCE\xAA"
      "0\xA3\xAC\xCE\xDE\xB7\xA8\xB7\xA2\xCB\xCD\xCA\xFD\xBE\xDD";
  EXPECT_EQ(std::count(log.begin(), log.end(), unusable), 1);
}

TEST_F(LinkTest, AStopEndsTheDrainOfABacklogBetweenTwoRecords) {
  ASSERT_EQ(Service().StartLink(), 1);  // never discovered: nothing is sent
  for (int i = 0; i < 5000; ++i)
    Service().banks().PutEvent("e", std::to_string(i));
  auto pacingPauses = [this] {
    const std::vector<std::uint32_t> sleeps = env_.Sleeps();
    return std::count(sleeps.begin(), sleeps.end(), 50u);
  };
  // The drain is under way: a record in ten pauses 50 ms.
  ASSERT_TRUE(Eventually([&] { return pacingPauses() >= 3; }));
  Service().RequestStop();
  const auto atStop = pacingPauses();
  Service().StopLink();
  // Without the stop the drain would pause about 490 times more.
  EXPECT_LE(pacingPauses() - atStop, 2);
}

TEST_F(LinkTest, SnapshotComesFirstThenChangesThenEvents) {
  Service().banks().PutEvent("early", "1");  // during discovery
  PushRound({"A", "B", "C"}, "0");
  ASSERT_EQ(Service().StartLink(), 1);
  Service().points().Update("A", "1");  // ends discovery
  ASSERT_TRUE(env_.WaitForSent(1));
  Service().points().Update("B", "2");
  Service().banks().PutEvent("late", "2");
  // The first flip may come before or after these calls, so the events may
  // share a datagram or not; wait for the records.
  ASSERT_TRUE(env_.WaitUntilSent([](const std::vector<Bytes>& sent) {
    return AllRecords(sent, 0x01).size() == 1 &&
           AllRecords(sent, 0x02).size() == 2;
  }));
  Service().StopLink();

  std::vector<Bytes> sent = env_.Sent();
  EXPECT_EQ(KindOf(sent[0]), 0xFF);
  EXPECT_EQ(RecordsOf(sent[0]),
            (std::vector<std::string>{"A|1", "B|0", "C|0"}));
  EXPECT_EQ(sent[0].size(), 47u);
  EXPECT_EQ(AllRecords(sent, 0x01), std::vector<std::string>{"B|2"});
  EXPECT_EQ(AllRecords(sent, 0x02),
            (std::vector<std::string>{"early|1", "late|2"}));
  for (const Bytes& d : sent) {
    EXPECT_TRUE(KindOf(d) == 0x01 || KindOf(d) == 0x02 || KindOf(d) == 0xFF);
  }
  std::vector<std::string> log = Log();
  EXPECT_NE(std::find(log.begin(), log.end(), messages::kSendStarted),
            log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), messages::kSendExited),
            log.end());
}

TEST_F(LinkTest, StopWhileWaitingForDiscoveryEndsTheSendThreadSilently) {
  PushRound({"A", "B"});
  ASSERT_EQ(Service().StartLink(), 1);
  // A send thread that first runs after the stop signal goes straight on to
  // the snapshot and logs its lines; this one is already waiting.
  ASSERT_TRUE(Eventually(
      [this] { return env_.WaitsOn(Service().points().discoveryDone()) > 0; }));
  Service().StopLink();
  const std::vector<std::string> log = Log();
  EXPECT_EQ(std::find(log.begin(), log.end(), messages::kSendStarted),
            log.end());
  EXPECT_EQ(std::find(log.begin(), log.end(), messages::kSendExited),
            log.end());
  EXPECT_TRUE(env_.Sent().empty());
}

TEST_F(LinkTest, TheSocketClosesOnlyOnceEveryWorkerHasEnded) {
  PushRound({"A", "A"});
  ASSERT_EQ(Service().StartLink(), 1);
  ASSERT_TRUE(env_.WaitForSent(1));  // the send thread is past the snapshot
  Service().StopLink();
  const std::vector<std::string> timeline = env_.Timeline();
  const auto closed =
      std::find(timeline.begin(), timeline.end(), "socket closed");
  ASSERT_NE(closed, timeline.end());
  for (const char* exited : {messages::kManagementExited,
                             messages::kConfigExited, messages::kSendExited})
    EXPECT_LT(std::find(timeline.begin(), timeline.end(), exited), closed)
        << exited;
}

TEST_F(LinkTest, StopLinkEndsAConfigurationThreadThatNeverRan) {
  ASSERT_EQ(Service().StartLink(), 1);
  Service().StopLink();
  // The other workers may log between these two lines.
  const std::vector<std::string> configLines = {messages::kConfigStarted,
                                                messages::kConfigExited};
  EXPECT_EQ(OnlyLines(Log(), configLines), configLines);
  EXPECT_FALSE(Service().IsLinkStarted());
}

TEST_F(LinkTest, DatagramsStillQueuedAtStopAreDiscarded) {
  ASSERT_EQ(Service().StartLink(), 1);  // never discovered: nothing is sent
  const std::uint8_t bytes[40] = {};
  Service().link().Enqueue(bytes, sizeof bytes);
  Service().StopLink();
  EXPECT_EQ(Service().link().QueuedCount(), 0u);
  EXPECT_TRUE(env_.Sent().empty());
}

TEST_F(LinkTest, FailedStartsAreLoggedWithTheOsCodeAndLeaveNothingRunning) {
  env_.failSocket = 24;
  EXPECT_EQ(Service().StartLink(), 0);
  env_.failSocket = 0;
  env_.failConnect = 111;
  EXPECT_EQ(Service().StartLink(), 0);
  EXPECT_FALSE(Service().IsLinkStarted());
  Service().StopLink();  // nothing to wait for
  // 系统错误码：24 and 系统错误码：111 follow their failures.
  const std::string code = "\xCF\xB5\xCD\xB3\xB4\xED\xCE\xF3\xC2\xEB\xA3\xBA";
  EXPECT_EQ(Log(),
            (std::vector<std::string>{
                messages::kStartingLink, messages::kSocketCreateFailed,
                code + "24", messages::kStartingLink, messages::kConnectFailed,
                code + "111", messages::kStoppingLink}));
}

TEST_F(LinkTest, AHalfStartedLinkStillStopsItsWorkers) {
  env_.refuseThreadNumber = 3;  // the send thread
  EXPECT_EQ(Service().StartLink(), 0);
  Service().banks().PutEvent("dropped", "1");
  Service().StopLink();
  // Read only now: a reader holding the log open while workers write would
  // make them drop their lines, by design of the exclusive open.
  const std::vector<std::string> log = Log();
  EXPECT_NE(
      std::find(log.begin(), log.end(), messages::kSendThreadCreateFailed),
      log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), messages::kManagementExited),
            log.end());
  EXPECT_NE(std::find(log.begin(), log.end(), messages::kConfigExited),
            log.end());
  EXPECT_TRUE(env_.Sent().empty());
}

TEST_F(LinkTest, SendWithTimeoutRefusesAClosedLink) {
  const std::uint8_t data[4] = {};
  EXPECT_EQ(Service().link().SendWithTimeout(data, 4), -1);
  EXPECT_EQ(env_.sendCalls, 0);
}

TEST_F(LinkTest, ABlockedSocketIsRetriedEvery50msForFiveSeconds) {
  OpenLink();
  const std::uint8_t data[4] = {};
  for (int i = 0; i < 200; ++i) env_.scriptedSends.push_back({-1, true, {11}});
  env_.ClearSleeps();
  EXPECT_EQ(Service().link().SendWithTimeout(data, 4), 0);
  EXPECT_EQ(env_.Sleeps(), std::vector<std::uint32_t>(100, 50));

  env_.scriptedSends.assign({{-1, true, {11}}, {-1, false, {1}}});
  EXPECT_EQ(Service().link().SendWithTimeout(data, 4), -1) << "hard error";

  env_.scriptedSends.assign({{-1, true, {11}}});
  EXPECT_EQ(Service().link().SendWithTimeout(data, 4), 4) << "blocked once";
}

TEST_F(LinkTest, OnceStopIsSignalledSendsAndSnapshotsEndAtOnce) {
  PushRound({"A", "B"});
  ASSERT_EQ(Service().StartLink(), 1);
  Service().RequestStop();
  const std::uint8_t data[4] = {};
  EXPECT_EQ(Service().link().SendWithTimeout(data, 4), 0);
  EXPECT_EQ(Service().SendSnapshot(), SnapshotResult::kStopped);
  EXPECT_EQ(env_.sendCalls, 0);
  Service().StopLink();
}

TEST_F(LinkTest, AnIdleCyclePausesOneSecondAndABusyOneDoesNot) {
  OpenLink();
  PushRound({"A", "A"});
  env_.ClearSleeps();
  Service().banks().PutEvent("e", "1");
  Service().ManagementCycle();  // events only
  std::vector<std::uint32_t> sleeps = env_.Sleeps();
  EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 1000u), 1);
  env_.ClearSleeps();
  Service().points().Update("A", "2");
  Service().ManagementCycle();  // retires the other bank: empty
  Service().ManagementCycle();  // the change
  sleeps = env_.Sleeps();
  EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 1000u), 1);
}

TEST_F(LinkTest, SnapshotResults) {
  EXPECT_EQ(Service().SendSnapshot(), SnapshotResult::kComplete) << "no points";
  PushRound({"A"});
  EXPECT_EQ(Service().SendSnapshot(), SnapshotResult::kSendFailed)
      << "link not started";
  OpenLink();
  Service().link().SetEnableFlags(kEnableEvents);
  EXPECT_EQ(Service().SendSnapshot(), SnapshotResult::kComplete)
      << "items switched off";
  EXPECT_TRUE(env_.Sent().empty());
  Service().link().SetEnableFlags(kEnableItems | kEnableEvents);
  EXPECT_EQ(Service().SendSnapshot(), SnapshotResult::kComplete);
  EXPECT_EQ(env_.Sent().size(), 1u);
}

TEST_F(LinkTest, ALargeSnapshotYieldsAfterEveryTenthFullDatagram) {
  OpenLink();
  // 96-byte records: ten per datagram, so 1050 points make 105 datagrams.
  for (int i = 0; i < 1050; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "N%04d", i);
    Service().points().Update(name, std::string(90, 'v'));
  }
  Service().points().Update(std::string(995, 'L'), "too long");  // never sent
  Service().points().Update("N0000", "last");
  env_.ClearSleeps();
  EXPECT_EQ(Service().SendSnapshot(), SnapshotResult::kComplete);
  std::vector<Bytes> sent = env_.Sent();
  ASSERT_EQ(sent.size(), 105u);
  EXPECT_EQ(RecordsOf(sent[0])[0], "N0000|last");
  EXPECT_EQ(env_.Sleeps(), std::vector<std::uint32_t>(10, 0));
  std::size_t records = 0;
  for (const Bytes& d : sent) records += RecordsOf(d).size();
  EXPECT_EQ(records, 1050u);
}

TEST_F(LinkTest, ARecordTooLongForAnyDatagramIsReportedOncePerPoint) {
  OpenLink();
  const std::string longValue(990, 'v');
  PushRound({"A", "B"}, longValue);
  Service().points().Update("A", longValue);  // ends discovery
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Service().SendSnapshot(), SnapshotResult::kComplete);
    Service().points().Update("D", longValue);
    Service().banks().PutEvent("e", longValue);
    Service().ManagementCycle();
    Service().ManagementCycle();
  }
  // 记录长度992超过989字节，已丢弃： then the record's start.
  const std::string dropped =
      "\xBC\xC7\xC2\xBC\xB3\xA4\xB6\xC8"
      "992\xB3\xAC\xB9\xFD"
      "989\xD7\xD6\xBD\xDA\xA3\xAC\xD2\xD1\xB6\xAA\xC6\xFA\xA3\xBA";
  std::vector<std::string> reports;
  for (const std::string& line : Log())
    if (line.rfind(dropped, 0) == 0)
      reports.push_back(line.substr(dropped.size()));
  // Each point once, whether dropped by a snapshot (its name shown) or by a
  // bank (its record shown); each event is an event of its own.
  const std::string shown(62, 'v');
  EXPECT_EQ(reports, (std::vector<std::string>{"A", "B", "D|" + shown,
                                               "e|" + shown, "e|" + shown}));
  EXPECT_TRUE(TakeQueued(Service().link()).empty());
}

}  // namespace
}  // namespace pelmora::testing

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

// The start of the log's line for records dropped at the stop, and the
// whole line: 停止时未能发出N条记录，已丢弃
const std::string kDroppedAtStop =
    "\xCD\xA3\xD6\xB9\xCA\xB1\xCE\xB4\xC4\xDC\xB7\xA2\xB3\xF6";
std::string DroppedLine(int records) {
  return kDroppedAtStop + std::to_string(records) +
         "\xCC\xF5\xBC\xC7\xC2\xBC\xA3\xAC\xD2\xD1\xB6\xAA\xC6\xFA";
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

TEST_F(LinkTest, AStopHandsOnTheBacklogWithoutPausesAndCountsWhatItDrops) {
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
  const std::uint32_t atStop = env_.TickCount();
  Service().StopLink();
  // Paced, the rest of the drain would take about 24 s.
  EXPECT_LT(env_.TickCount() - atStop, 5000u);
  // No snapshot went out, so no event may: what the drain queued is
  // dropped, counted; what a flip left in the active bank stays there for a
  // restarted link.
  EXPECT_TRUE(env_.Sent().empty());
  int left = 0;
  Service().banks().DrainEvents(Service().banks().Flip(),
                                [&left](std::string_view) { return ++left; });
  const std::vector<std::string> log = Log();
  EXPECT_NE(std::find(log.begin(), log.end(), DroppedLine(5000 - left)),
            log.end())
      << left;
}

class StopDeliveryTest : public ServiceTest {
 protected:
  // A started link whose send thread is past the snapshot; then the stop is
  // signalled, so that what is pushed from here on waits for StopLink.
  void StartPastSnapshotAndSignalStop() {
    PushRound({"A", "B"}, "0");
    ASSERT_EQ(Service().StartLink(), 1);
    Service().points().Update("A", "1");
    ASSERT_TRUE(Eventually([this] {
      const std::vector<std::string> timeline = env_.Timeline();
      return std::find(timeline.begin(), timeline.end(),
                       messages::kSendStarted) != timeline.end();
    }));
    env_.TakeSent();
    Service().RequestStop();
  }
  void Push(int events, int points) {
    for (int i = 0; i < events; ++i)
      Service().banks().PutEvent("e", std::to_string(i));
    for (int i = 0; i < points; ++i)
      Service().points().Update("P" + std::to_string(i), std::to_string(i));
  }
};

TEST_F(StopDeliveryTest, EverythingPendingReachesTheServerTheLinkStartedWith) {
  StartPastSnapshotAndSignalStop();
  const std::uint16_t server = env_.lastConnect.port;
  // The dialog names the new server before it restarts the link.
  Service().settings().SetServerPort(server + 1);
  Push(3000, 100);
  Service().StopLink();

  const std::vector<Bytes> sent = env_.Sent();
  std::vector<std::string> expectedEvents, expectedItems;
  for (int i = 0; i < 3000; ++i)
    expectedEvents.push_back("e|" + std::to_string(i));
  for (int i = 0; i < 100; ++i)
    expectedItems.push_back("P" + std::to_string(i) + "|" + std::to_string(i));
  std::sort(expectedItems.begin(), expectedItems.end());
  std::vector<std::string> items = AllRecords(sent, 0x01);
  std::sort(items.begin(), items.end());
  EXPECT_EQ(items, expectedItems);
  // In order; and without the pacing pauses, which would have held the
  // delivery past its second after 200 records.
  EXPECT_EQ(AllRecords(sent, 0x02), expectedEvents);
  EXPECT_EQ(env_.lastSendTo.port, server);
  const std::vector<std::string> log = Log();
  EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](const std::string& l) {
    return l.rfind(kDroppedAtStop, 0) == 0;
  }));
}

// The datagram the send thread was retrying when the stop came waits for
// the stop's delivery with the rest, and is counted when it cannot go.
TEST_F(StopDeliveryTest, TheDatagramHeldWhenTheStopComesIsDeliveredOrCounted) {
  PushRound({"A", "B"}, "0");
  ASSERT_EQ(Service().StartLink(), 1);
  Service().points().Update("A", "1");
  // A's return ended the first round: once the snapshot has gone with its
  // value, nothing is pending but what comes next.
  ASSERT_TRUE(Eventually([this] {
    const std::vector<std::string> timeline = env_.Timeline();
    return std::find(timeline.begin(), timeline.end(),
                     messages::kSendStarted) != timeline.end();
  }));
  // Held, the clock keeps the retries within the send's limit however many
  // the thread makes before the stop comes.
  env_.holdClock = true;
  env_.ScriptSends(std::deque<SendOutcome>(100000, {-1, true, {11}}));
  const int sendsBefore = env_.SendCalls();
  Push(3, 0);
  // Two sends of it: the send thread is in its retry.
  EXPECT_TRUE(Eventually([&] { return env_.SendCalls() >= sendsBefore + 2; }));
  Service().RequestStop();
  env_.holdClock = false;  // the stop's delivery ends at its bound
  Service().StopLink();
  const std::vector<std::string> log = Log();
  EXPECT_NE(std::find(log.begin(), log.end(), DroppedLine(3)), log.end());
}

// A datagram the send thread could not send is lost, and said so.
TEST_F(StopDeliveryTest, ADatagramTheSocketRefusedIsCountedInTheLog) {
  PushRound({"A", "B"}, "0");
  ASSERT_EQ(Service().StartLink(), 1);
  Service().points().Update("A", "1");
  ASSERT_TRUE(Eventually([this] {
    const std::vector<std::string> timeline = env_.Timeline();
    return std::find(timeline.begin(), timeline.end(),
                     messages::kSendStarted) != timeline.end();
  }));
  env_.ScriptSends({{-1, false, {1}}});
  Push(1, 0);
  const std::string lost = FormatLogLine(messages::kSendFailedFormat, 1u);
  EXPECT_TRUE(Eventually([&] {
    const std::vector<std::string> timeline = env_.Timeline();
    return std::find(timeline.begin(), timeline.end(), lost) != timeline.end();
  }));
  Service().StopLink();
}

TEST_F(StopDeliveryTest, ASocketThatTakesNothingHoldsTheStopForOneSecond) {
  StartPastSnapshotAndSignalStop();
  env_.ScriptSends(std::deque<SendOutcome>(100000, {-1, true, {11}}));
  Push(300, 30);
  const std::uint32_t before = env_.TickCount();
  Service().StopLink();
  EXPECT_LE(env_.TickCount() - before, 1000u);
  EXPECT_TRUE(env_.Sent().empty());
  const std::vector<std::string> log = Log();
  EXPECT_NE(std::find(log.begin(), log.end(), DroppedLine(330)), log.end());
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

TEST_F(LinkTest, ABlockedOrRefusedSendIsRetriedWithinFiveSeconds) {
  OpenLink();
  const std::uint8_t data[4] = {};
  const SendOutcome blocked = {-1, true, {11}};
  const SendOutcome failed = {-1, false, {1}};
  // What an ICMP refusal of an earlier datagram leaves for the next send.
  const SendOutcome refused = {-1, false, {111}, true};
  const auto times = [](int n, SendOutcome outcome) {
    return std::deque<SendOutcome>(n, outcome);
  };
  struct Case {
    const char* what;
    std::deque<SendOutcome> script;
    int sent;
    std::vector<FakeEnv::Pause> pauses;
  };
  // Each retry is a wait that the stop ends, never a plain pause.
  const Case cases[] = {
      {"blocked throughout", times(200, blocked), 0,
       std::vector<FakeEnv::Pause>(100, {50, true})},
      {"blocked once", times(1, blocked), 4, {{50, true}}},
      {"blocked, then a hard error", {blocked, failed}, -1, {{50, true}}},
      {"refused a few times: again at once", times(3, refused), 4, {}},
      {"refused nine times in a row: one pause",
       times(9, refused),
       4,
       {{50, true}}},
      {"refused throughout", times(100000, refused), 0,
       std::vector<FakeEnv::Pause>(100, {50, true})},
  };
  for (const Case& c : cases) {
    env_.ScriptSends(c.script);
    env_.ClearSleeps();
    EXPECT_EQ(Service().link().SendWithTimeout(data, 4), c.sent) << c.what;
    EXPECT_EQ(env_.Pauses(), c.pauses) << c.what;
  }
}

// The stop's delivery ends at its bound: a retry's pause is cut to what is
// left of it, and at the bound nothing more goes, even to a socket that
// would take it.
TEST_F(LinkTest, TheStopsDeliveryNeverPassesItsBound) {
  OpenLink();
  const SendOutcome blocked = {-1, true, {11}};
  struct Case {
    std::uint32_t startedAgo;  // when the delivery began
    int blockedSends;          // then the socket takes everything
    std::vector<std::uint32_t> pauses;
    std::size_t leftQueued;
  };
  std::vector<std::uint32_t> fifties(19, 50);
  std::vector<std::uint32_t> cut = fifties;
  cut.push_back(20);
  std::vector<std::uint32_t> twenty(20, 50);
  const Case cases[] = {
      {0, 19, fifties, 0},
      {0, 20, twenty, 1},
      {30, 20, cut, 1},
      {30, 19, fifties, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.startedAgo) + " ms ago, blocked " +
                 std::to_string(c.blockedSends) + " times");
    const std::uint8_t datagram[40] = {};
    Service().link().Enqueue(datagram, sizeof datagram);
    env_.ScriptSends(std::deque<SendOutcome>(c.blockedSends, blocked));
    env_.ClearSleeps();
    env_.TakeSent();
    const std::uint32_t since = env_.TickCount() - c.startedAgo;
    Service().link().SendQueuedWithin(since, 1000);
    // The stop's delivery calls again as it hands on each record.
    Service().link().SendQueuedWithin(since, 1000);
    EXPECT_EQ(env_.Sleeps(), c.pauses);
    EXPECT_LE(env_.TickCount() - since, 1000u);
    EXPECT_EQ(Service().link().QueuedCount(), c.leftQueued);
    EXPECT_EQ(env_.TakeSent().size(), 1 - c.leftQueued);
    while (Service().link().TakeNext()) {
    }
  }
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
  // The pacing pause of a busy drain is a wait that the stop ends.
  env_.ClearSleeps();
  for (int i = 0; i < 30; ++i) Service().banks().PutEvent("e", "1");
  Service().ManagementCycle();
  const std::vector<FakeEnv::Pause> pauses = env_.Pauses();
  EXPECT_GE(std::count(pauses.begin(), pauses.end(), FakeEnv::Pause{50, true}),
            3);
  EXPECT_EQ(std::count(pauses.begin(), pauses.end(), FakeEnv::Pause{50, false}),
            0);
}

TEST_F(LinkTest, AFullQueueDropsItsOldestDatagramsAndTheCycleSaysHowMany) {
  ManualEvent stop;
  UdpLink link(env_, Service().settings(), stop, 3);
  std::uint8_t bytes[34] = {};
  for (std::uint8_t i = 1; i <= 5; ++i) {
    bytes[33] = i;
    link.Enqueue(bytes, sizeof bytes);
  }
  EXPECT_EQ(link.TakeDroppedCount(), 2u);
  EXPECT_EQ(link.TakeDroppedCount(), 0u);
  std::vector<std::uint8_t> kept;
  for (const Bytes& d : TakeQueued(link)) kept.push_back(d[33]);
  EXPECT_EQ(kept, (std::vector<std::uint8_t>{3, 4, 5}));

  // The service's queue holds 8192; one cycle logs what it dropped, once.
  OpenLink();
  for (int i = 0; i < 8192 + 7; ++i)
    Service().link().Enqueue(bytes, sizeof bytes);
  Service().ManagementCycle();
  Service().ManagementCycle();
  // 发送队列已满，本周期丢弃最早的7个数据包
  const std::string full =
      "\xB7\xA2\xCB\xCD\xB6\xD3\xC1\xD0\xD2\xD1\xC2\xFA\xA3\xAC\xB1\xBE\xD6\xDC"
      "\xC6\xDA\xB6\xAA\xC6\xFA\xD7\xEE\xD4\xE7\xB5\xC4"
      "7\xB8\xF6\xCA\xFD\xBE\xDD\xB0\xFC";
  const std::vector<std::string> log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), full), 1);
  EXPECT_EQ(Service().link().QueuedCount(), 8192u);
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

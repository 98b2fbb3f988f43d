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
  Service().SetServerAddress("127.0.0.2");
  Service().SetServerPort(70000);
  ASSERT_EQ(Service().StartLink(), 1);
  EXPECT_EQ(env_.lastConnect.address, CurrentEnv()->ParseIpv4("127.0.0.2"));
  EXPECT_EQ(env_.lastConnect.port, 4464);
  EXPECT_EQ(Service().StartLink(), 0) << "a started link is not replaced";
  Service().StopLink();
}

TEST_F(LinkTest, SnapshotComesFirstThenChangesThenEvents) {
  Service().SendEventEx("early", "1");  // during discovery
  PushRound({"A", "B", "C"}, "0");
  ASSERT_EQ(Service().StartLink(), 1);
  Service().UpdateItem("A", "1");  // ends discovery
  ASSERT_TRUE(env_.WaitForSent(1));
  Service().UpdateItem("B", "2");
  Service().SendEventEx("late", "2");
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
  ASSERT_TRUE(Eventually([this] { return env_.eventWaits > 0; }));
  Service().StopLink();
  const std::vector<std::string> log = Log();
  EXPECT_EQ(std::find(log.begin(), log.end(), messages::kSendStarted),
            log.end());
  EXPECT_EQ(std::find(log.begin(), log.end(), messages::kSendExited),
            log.end());
  EXPECT_TRUE(env_.Sent().empty());
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
  Service().channel().EnqueueDatagram(bytes, sizeof bytes);
  Service().StopLink();
  EXPECT_EQ(Service().channel().QueuedCount(), 0u);
  EXPECT_TRUE(env_.Sent().empty());
}

TEST_F(LinkTest, FailedStartsAreLoggedAndLeaveNothingRunning) {
  env_.failSocket = true;
  EXPECT_EQ(Service().StartLink(), 0);
  env_.failSocket = false;
  env_.failConnect = true;
  EXPECT_EQ(Service().StartLink(), 0);
  EXPECT_FALSE(Service().IsLinkStarted());
  Service().StopLink();  // nothing to wait for
  const std::vector<std::string> log = Log();
  EXPECT_EQ(log, (std::vector<std::string>{
                     messages::kStartingLink, messages::kSocketCreateFailed,
                     messages::kStartingLink, messages::kConnectFailed,
                     messages::kStoppingLink}));
}

TEST_F(LinkTest, AHalfStartedLinkStillStopsItsWorkers) {
  env_.refuseThreadNumber = 3;  // the send thread
  EXPECT_EQ(Service().StartLink(), 0);
  Service().SendEventEx("dropped", "1");
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

TEST_F(LinkTest, SendWithTimeoutRefusesAClosedSocket) {
  std::atomic<SocketHandle> closed{kInvalidSocket};
  const std::uint8_t data[4] = {};
  EXPECT_EQ(Service().SendWithTimeout(closed, data, 4, 5000), -1);
  EXPECT_EQ(env_.sendCalls, 0);
}

TEST_F(LinkTest, SendWithTimeoutRetriesABlockedSocketUntilTheTimeOut) {
  std::atomic<SocketHandle> socket{7};
  const std::uint8_t data[4] = {};
  for (int i = 0; i < 200; ++i) env_.scriptedSends.push_back({-1, true});
  env_.ClearSleeps();
  EXPECT_EQ(Service().SendWithTimeout(socket, data, 4, 5000), 0);
  EXPECT_EQ(env_.Sleeps(), std::vector<std::uint32_t>(100, 50));

  env_.scriptedSends.assign({{-1, true}, {-1, false}});
  EXPECT_EQ(Service().SendWithTimeout(socket, data, 4, 5000), -1)
      << "hard error";

  env_.scriptedSends.assign({{-1, true}});
  EXPECT_EQ(Service().SendWithTimeout(socket, data, 4, 5000), 4)
      << "blocked once";
}

TEST_F(LinkTest, OnceStopIsSignalledSendsAndSnapshotsEndAtOnce) {
  PushRound({"A", "B"});
  ASSERT_EQ(Service().StartLink(), 1);
  Service().RequestStop();
  std::atomic<SocketHandle> socket{7};
  const std::uint8_t data[4] = {};
  EXPECT_EQ(Service().SendWithTimeout(socket, data, 4, 5000), 0);
  EXPECT_EQ(Service().SendSnapshot(), 1);
  EXPECT_EQ(env_.sendCalls, 0);
  Service().StopLink();
}

TEST_F(LinkTest, AnIdleCyclePausesOneSecondAndABusyOneDoesNot) {
  Service().channel().udpSocket = 5;
  PushRound({"A", "A"});
  env_.ClearSleeps();
  Service().SendEventEx("e", "1");
  Service().ManagementCycle();  // events only
  std::vector<std::uint32_t> sleeps = env_.Sleeps();
  EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 1000u), 1);
  env_.ClearSleeps();
  Service().UpdateItem("A", "2");
  Service().ManagementCycle();  // retires the other bank: empty
  Service().ManagementCycle();  // the change
  sleeps = env_.Sleeps();
  EXPECT_EQ(std::count(sleeps.begin(), sleeps.end(), 1000u), 1);
}

TEST_F(LinkTest, SnapshotResults) {
  std::atomic<SocketHandle>& socket = Service().channel().udpSocket;
  EXPECT_EQ(Service().SendSnapshot(), 0) << "no points";
  PushRound({"A"});
  EXPECT_EQ(Service().SendSnapshot(), -1) << "link not started";
  socket = 5;
  Service().channel().enableFlags = kEnableEvents;
  EXPECT_EQ(Service().SendSnapshot(), 0) << "items switched off";
  EXPECT_TRUE(env_.Sent().empty());
  Service().channel().enableFlags = kEnableItems | kEnableEvents;
  EXPECT_EQ(Service().SendSnapshot(), 0);
  EXPECT_EQ(env_.Sent().size(), 1u);
}

TEST_F(LinkTest, ALargeSnapshotYieldsAfterEveryTenthFullDatagram) {
  Service().channel().udpSocket = 5;
  // 96-byte records: ten per datagram, so 1050 points make 105 datagrams.
  for (int i = 0; i < 1050; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "N%04d", i);
    Service().UpdateItem(name, std::string(90, 'v'));
  }
  Service().UpdateItem(std::string(995, 'L'), "too long");  // never sent
  Service().UpdateItem("N0000", "last");
  env_.ClearSleeps();
  EXPECT_EQ(Service().SendSnapshot(), 0);
  std::vector<Bytes> sent = env_.Sent();
  ASSERT_EQ(sent.size(), 105u);
  EXPECT_EQ(RecordsOf(sent[0])[0], "N0000|last");
  EXPECT_EQ(env_.Sleeps(), std::vector<std::uint32_t>(10, 0));
  std::size_t records = 0;
  for (const Bytes& d : sent) records += RecordsOf(d).size();
  EXPECT_EQ(records, 1050u);
}

}  // namespace
}  // namespace pelmora::testing

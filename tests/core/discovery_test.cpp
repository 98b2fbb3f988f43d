// The point table and discovery of the host's first round.
#include <algorithm>
#include <set>
#include <thread>

#include "collect/change_banks.h"
#include "config/log_messages.h"
#include "support/datagrams.h"
#include "support/service_fixture.h"

namespace pelmora::testing {
namespace {

class DiscoveryTest : public ServiceTest {
 protected:
  // Lets the management cycle drain into the queue without a started link.
  void SetUp() override { OpenLink(); }
  std::vector<Bytes> Cycle() {
    Service().ManagementCycle();
    return TakeQueued(Service().link());
  }
  std::string Value(const std::string& name) {
    std::string value;
    EXPECT_TRUE(Service().points().Lookup(name, &value)) << name;
    return value;
  }
  void Update(const std::string& name, const std::string& value) {
    Service().points().Update(name, value);
  }
};

TEST_F(DiscoveryTest, TheFirstKnownNameEndsTheRoundAndIsLogged) {
  PushRound({"A", "B", "C"}, "1");
  EXPECT_FALSE(Service().points().IsDiscoveryDone());
  Update("A", "v");
  EXPECT_TRUE(Service().points().IsDiscoveryDone());
  EXPECT_EQ(Service().points().PointOrderNames(),
            (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(Value("A"), "v");
  EXPECT_EQ(
      Log().back(),
      "\xD7\xEE\xBA\xF3\xD2\xBB\xB8\xF6\xB2\xE2\xB5\xE3\xB5\xC4\xB1\xEA\xCA\xBE"
      "\xCE\xAA A : v");
  // Values of the first round, the closing call included, are left to the
  // snapshot: no bank received anything.
  EXPECT_TRUE(Cycle().empty());
}

TEST_F(DiscoveryTest, ANameRepeatedAtOnceEndsDiscoveryWithOnePoint) {
  PushRound({"A", "A"});
  EXPECT_TRUE(Service().points().IsDiscoveryDone());
  EXPECT_EQ(Service().points().PointOrderNames(),
            std::vector<std::string>{"A"});
}

TEST_F(DiscoveryTest, AHostThatNeverRepeatsNeverCompletesDiscovery) {
  PushRound({"A", "B", "C", "D"});
  EXPECT_FALSE(Service().points().IsDiscoveryDone());
}

TEST_F(DiscoveryTest, NamesCompareByteForByte) {
  PushRound({"a", "A", "a\xB0"});
  EXPECT_FALSE(Service().points().IsDiscoveryDone());
  EXPECT_EQ(Service().points().PointOrderNames().size(), 3u);
}

TEST_F(DiscoveryTest, AfterDiscoveryANewNameIsAChangeAndFollowsInSnapshots) {
  PushRound({"A", "B", "A"});
  Update("D", "4");
  Update("C", "3");
  EXPECT_EQ(Value("D"), "4");
  EXPECT_EQ(Service().points().PointOrderNames(),
            (std::vector<std::string>{"A", "B"}));
  std::vector<Bytes> sent = Cycle();
  ASSERT_EQ(sent.size(), 1u);
  std::vector<std::string> changes = RecordsOf(sent[0]);
  std::sort(changes.begin(), changes.end());
  EXPECT_EQ(changes, (std::vector<std::string>{"C|3", "D|4"}));
  // The snapshot: the first round in its order, then the later points in
  // the order they first came.
  Service().SendSnapshot();
  sent = env_.TakeSent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(RecordsOf(sent[0]),
            (std::vector<std::string>{"A|v", "B|v", "D|4", "C|3"}));
}

TEST_F(DiscoveryTest, ValuesOfOneBankPeriodMergeToTheLast) {
  PushRound({"P1", "P1"});
  for (const char* v : {"1", "2", "3"}) Update("P1", v);
  std::vector<Bytes> sent = Cycle();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(RecordsOf(sent[0]), std::vector<std::string>{"P1|3"});
  EXPECT_EQ(Value("P1"), "3");
  // The next period starts empty, and the point can change again in it.
  EXPECT_TRUE(Cycle().empty());
  Update("P1", "4");
  Service().ManagementCycle();  // retires the other bank
  EXPECT_EQ(RecordsOf(TakeQueued(Service().link()).at(0)),
            std::vector<std::string>{"P1|4"});
}

TEST_F(DiscoveryTest, EmptyAndNullTextsAreStoredLikeAnyOther) {
  PushRound({"", ""});
  EXPECT_TRUE(Service().points().IsDiscoveryDone());
  Update("P1", "");
  Service().banks().PutEvent("", "");
  std::vector<Bytes> sent = Cycle();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(RecordsOf(sent[0]), std::vector<std::string>{"P1|"});
  EXPECT_EQ(RecordsOf(sent[1]), std::vector<std::string>{"|"});
}

TEST_F(DiscoveryTest, ConcurrentFirstRoundsLoseAndDuplicateNoName) {
  constexpr int kThreads = 4, kNames = 2000;
  std::vector<std::thread> hosts;
  for (int t = 0; t < kThreads; ++t) {
    hosts.emplace_back([this, t] {
      for (int i = 0; i < kNames; ++i)
        Update("T" + std::to_string(t) + "_" + std::to_string(i), "v");
    });
  }
  for (auto& h : hosts) h.join();
  std::vector<std::string> order = Service().points().PointOrderNames();
  EXPECT_EQ(order.size(), static_cast<std::size_t>(kThreads * kNames));
  EXPECT_EQ(std::set<std::string>(order.begin(), order.end()).size(),
            order.size());

  // Every thread now comes round again at once: one of them ends discovery,
  // and it is logged once.
  std::vector<std::thread> again;
  for (int t = 0; t < kThreads; ++t)
    again.emplace_back(
        [this, t] { Update("T" + std::to_string(t) + "_0", "w"); });
  for (auto& h : again) h.join();
  std::vector<std::string> lines = Log();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.find(" : w") != std::string::npos;
                          }),
            1);
  EXPECT_EQ(Service().points().PointOrderNames().size(), order.size());
}

// A push that found the round running, and took the discovery lock only
// after another push had ended the round, is a change like any after the
// round: sent, and not taken for a second end of the round.
TEST_F(DiscoveryTest, APushOvertakenByTheEndOfTheRoundIsAChange) {
  // Ends the round with A:v while the push it holds waits for the lock.
  struct EndTheRoundFirst : PushProbe {
    explicit EndTheRoundFirst(PointStore& p) : points(p) {}
    void RoundRunning(std::string_view) override {
      if (ended) return;
      ended = true;
      points.Update("A", "v");
    }
    PointStore& points;
    bool ended = false;
  } probe(Service().points());
  PushRound({"A", "B"});
  Service().points().SetProbe(&probe);
  Update("B", "5");
  Service().points().SetProbe(nullptr);
  EXPECT_EQ(Service().points().PointOrderNames(),
            (std::vector<std::string>{"A", "B"}));
  std::vector<std::string> lines = Log();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.find(" : ") != std::string::npos;
                          }),
            1);
  std::vector<Bytes> sent = Cycle();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(RecordsOf(sent[0]), std::vector<std::string>{"B|5"});
}

TEST(ChangeBanksTest, ABankRefusesEventsBeyondEitherCapAndCountsThem) {
  struct Case {
    BankLimits limits;
    std::size_t taken, refused;
  };
  // Six events "e|12345678", 10 bytes each.
  const Case cases[] = {
      {{4, 1000}, 4, 2},  // the count cap
      {{100, 35}, 3, 3},  // the byte cap
      {{6, 60}, 6, 0},    // both reached exactly
  };
  for (const Case& c : cases) {
    FakeEnv env;
    ServiceLog log(env, "unused");
    PointStore points(log);
    ChangeBanks banks(points, c.limits);
    for (int i = 0; i < 6; ++i) banks.PutEvent("e", "12345678");
    std::size_t drained = 0;
    auto count = [&drained](std::string_view) { return ++drained > 0; };
    EXPECT_EQ(banks.DrainEvents(banks.Flip(), count), c.refused)
        << c.limits.events << " " << c.limits.eventBytes;
    EXPECT_EQ(drained, c.taken);
    // The next period of that bank starts with room and nothing refused.
    banks.DrainEvents(banks.Flip(), count);
    banks.PutEvent("e", "12345678");
    drained = 0;
    EXPECT_EQ(banks.DrainEvents(banks.Flip(), count), 0u);
    EXPECT_EQ(drained, 1u);
  }
}

}  // namespace
}  // namespace pelmora::testing

// The write-back path: queued commands reach the host's callback on the
// configuration thread, each once and in order, across callback changes and
// link restarts.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "config/log_messages.h"
#include "pelmora/pelmora.h"
#include "support/service_fixture.h"

namespace pelmora::testing {
namespace {

// The configuration thread is the only worker that pauses 300 ms.
std::size_t IdlePauses(FakeEnv& env) {
  const std::vector<std::uint32_t> sleeps = env.Sleeps();
  return static_cast<std::size_t>(
      std::count(sleeps.begin(), sleeps.end(), 300u));
}

// Polls until `done` holds, for at most ten seconds. The worker's pauses go
// through FakeEnv and signal nothing, so states reached by pausing are
// polled for.
struct Delivery {
  int callback;  // 1: ToFirst, 2: ToSecond
  std::string name;
  std::string value;
  std::size_t pausesBefore;  // idle pauses taken before the call
};

// What the callbacks received. The host can only register a plain
// function, so both report here.
class Deliveries {
 public:
  void Reset(FakeEnv* env) {
    std::lock_guard<std::mutex> hold(mutex_);
    env_ = env;
    got_.clear();
  }
  void Add(int callback, const char* name, const char* value) {
    std::lock_guard<std::mutex> hold(mutex_);
    got_.push_back({callback, name, value, IdlePauses(*env_)});
    arrived_.notify_all();
  }
  bool WaitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::seconds(10),
                             [&] { return got_.size() >= count; });
  }
  std::vector<Delivery> Got() {
    std::lock_guard<std::mutex> hold(mutex_);
    return got_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  FakeEnv* env_ = nullptr;
  std::vector<Delivery> got_;
};

Deliveries& Received() {
  static Deliveries deliveries;
  return deliveries;
}

void PELMORA_STDCALL ToFirst(const char* name, const char* value) {
  Received().Add(1, name, value);
}
void PELMORA_STDCALL ToSecond(const char* name, const char* value) {
  Received().Add(2, name, value);
}

// "callback:name=value" per delivery, for comparing whole sequences.
std::vector<std::string> Calls(const std::vector<Delivery>& got) {
  std::vector<std::string> calls;
  for (const Delivery& d : got)
    calls.push_back(std::to_string(d.callback) + ":" + d.name + "=" + d.value);
  return calls;
}

class WriteBackTest : public ServiceTest {
 protected:
  void SetUp() override { Received().Reset(&env_); }

  // Waits until the thread has found the queue empty after the last
  // delivery: a repeated delivery would have come before that pause.
  void WaitUntilIdle() {
    const std::vector<Delivery> got = Received().Got();
    const std::size_t seen = got.empty() ? 0 : got.back().pausesBefore;
    ASSERT_TRUE(Eventually([&] { return IdlePauses(env_) > seen; }));
  }

  std::vector<std::string> ConfigLines() const {
    return OnlyLines(Log(),
                     {messages::kConfigStarted, messages::kConfigExited});
  }
};

TEST_F(WriteBackTest,
       CommandsSplitAtTheFirstBarAndFollowEachOtherWithoutPause) {
  struct Case {
    std::vector<std::string> queued;
    std::vector<std::string> calls;
    std::size_t pausesBefore;  // before the first delivery, and every later one
  };
  const Case cases[] = {
      {{"P1|5"}, {"1:P1=5"}, 0},
      {{"P1|"}, {"1:P1="}, 0},
      {{"|5"}, {"1:=5"}, 0},
      {{"P1|a|b"}, {"1:P1=a|b"}, 0},
      {{"no bar", "P1|5"}, {"1:P1=5"}, 0},
      {{"", "P1|5"}, {"1:P1=5"}, 1},  // an empty entry is taken as none
      {{"A|1", "B|2", "C|3"}, {"1:A=1", "1:B=2", "1:C=3"}, 0},
  };
  for (const Case& c : cases) {
    std::string queued;
    for (const std::string& text : c.queued) queued += "[" + text + "]";
    SCOPED_TRACE("queued " + queued);
    env_.ClearSleeps();
    Received().Reset(&env_);
    ASSERT_EQ(Service().StartLink(), 1);
    for (const std::string& text : c.queued)
      Service().writeQueue().PushText(text);
    Service().SetWriteCallback(ToFirst);
    ASSERT_TRUE(Received().WaitFor(c.calls.size()));
    WaitUntilIdle();
    Service().StopLink();

    const std::vector<Delivery> got = Received().Got();
    EXPECT_EQ(Calls(got), c.calls);
    for (const Delivery& d : got)
      EXPECT_EQ(d.pausesBefore, c.pausesBefore) << d.name;
    EXPECT_EQ(Service().writeQueue().size(), 0u);
  }
}

TEST_F(WriteBackTest, ASecondCallbackReplacesTheFirst) {
  ASSERT_EQ(Service().StartLink(), 1);
  Service().writeQueue().Push("A", "1");
  Service().SetWriteCallback(ToFirst);
  ASSERT_TRUE(Received().WaitFor(1));
  Service().SetWriteCallback(ToSecond);
  Service().writeQueue().Push("B", "x|y");
  ASSERT_TRUE(Received().WaitFor(2));
  WaitUntilIdle();
  Service().StopLink();
  EXPECT_EQ(Calls(Received().Got()),
            (std::vector<std::string>{"1:A=1", "2:B=x|y"}));
}

TEST_F(WriteBackTest, ACommandWaitsAtTheHeadUntilACallbackIsRegistered) {
  ASSERT_EQ(Service().StartLink(), 1);
  Service().writeQueue().PushText("no bar");  // dropped even without a callback
  Service().writeQueue().Push("P1", "5");
  Service().writeQueue().Push("P2", "6");
  Service().ResumeConfigurationThread();  // as the dialog does
  ASSERT_TRUE(Eventually([&] { return IdlePauses(env_) >= 3; }));
  EXPECT_EQ(Service().writeQueue().size(), 2u);
  EXPECT_TRUE(Received().Got().empty());

  Service().SetWriteCallback(ToFirst);
  ASSERT_TRUE(Received().WaitFor(2));
  WaitUntilIdle();
  Service().StopLink();
  EXPECT_EQ(Calls(Received().Got()),
            (std::vector<std::string>{"1:P1=5", "1:P2=6"}));
}

TEST_F(WriteBackTest, StopWhileIdleEndsTheThread) {
  ASSERT_EQ(Service().StartLink(), 1);
  Service().SetWriteCallback(ToFirst);
  ASSERT_TRUE(Eventually([&] { return IdlePauses(env_) >= 1; }));
  Service().StopLink();
  EXPECT_EQ(ConfigLines(), (std::vector<std::string>{messages::kConfigStarted,
                                                     messages::kConfigExited}));
  EXPECT_TRUE(Received().Got().empty());
}

TEST_F(WriteBackTest, AThreadFirstLetRunAfterTheStopSignalDoesNoWork) {
  ASSERT_EQ(Service().StartLink(), 1);
  Service().writeQueue().Push("P1", "5");
  Service().RequestStop();
  Service().SetWriteCallback(ToFirst);
  Service().StopLink();
  EXPECT_EQ(ConfigLines(), (std::vector<std::string>{messages::kConfigStarted,
                                                     messages::kConfigExited}));
  EXPECT_EQ(IdlePauses(env_), 0u);
  EXPECT_TRUE(Received().Got().empty());
  EXPECT_EQ(Service().writeQueue().size(), 1u);
}

TEST_F(WriteBackTest, ALinkRestartKeepsTheCallbackAndTheQueue) {
  ASSERT_EQ(Service().StartLink(), 1);
  Service().SetWriteCallback(ToFirst);
  Service().writeQueue().Push("A", "1");
  ASSERT_TRUE(Received().WaitFor(1));
  Service().StopLink();
  Service().writeQueue().Push("B", "2");

  ASSERT_EQ(Service().StartLink(), 1);
  Service().ResumeConfigurationThread();
  ASSERT_TRUE(Received().WaitFor(2));
  WaitUntilIdle();
  Service().StopLink();
  EXPECT_EQ(Calls(Received().Got()),
            (std::vector<std::string>{"1:A=1", "1:B=2"}));
  EXPECT_EQ(ConfigLines(),
            (std::vector<std::string>{
                messages::kConfigStarted, messages::kConfigExited,
                messages::kConfigStarted, messages::kConfigExited}));
}

}  // namespace
}  // namespace pelmora::testing

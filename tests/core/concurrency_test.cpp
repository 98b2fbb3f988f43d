// Host threads pushing values and events while the management thread flips
// the banks and the send thread drains the queue: nothing lost, nothing
// sent twice, every point's last value delivered.
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "support/datagrams.h"
#include "support/service_fixture.h"

namespace pelmora::testing {
namespace {

using ConcurrentLinkTest = ServiceTest;

TEST_F(ConcurrentLinkTest,
       ConcurrentHostsLoseAndDuplicateNothingWhileBanksFlip) {
  constexpr int kHosts = 3, kPushes = 3000, kPointsPerHost = 20;
  PushRound({"seed", "seed"});
  ASSERT_EQ(Service().StartLink(), 1);
  ASSERT_TRUE(env_.WaitForSent(1));  // the snapshot

  // The operator presses the update button again and again meanwhile.
  std::atomic<bool> pushing{true};
  std::thread operatorThread([this, &pushing] {
    while (pushing)
      EXPECT_EQ(Service().SendSnapshot(), SnapshotResult::kComplete);
  });
  std::vector<std::thread> hosts;
  for (int h = 0; h < kHosts; ++h) {
    hosts.emplace_back([this, h] {
      for (int i = 0; i < kPushes; ++i) {
        const std::string n = std::to_string(i);
        Service().points().Update(
            "H" + std::to_string(h) + "P" + std::to_string(i % kPointsPerHost),
            n);
        if (i % 3 == 0) Service().banks().PutEvent("H" + std::to_string(h), n);
      }
    });
  }
  for (auto& h : hosts) h.join();
  pushing = false;
  operatorThread.join();

  // Each point's last value is kPushes - kPointsPerHost + its index.
  auto lastValuesArrived = [](const std::vector<Bytes>& sent) {
    std::map<std::string, std::string> last;
    for (const Bytes& d : sent) {
      if (KindOf(d) != 0x01) continue;
      for (const std::string& r : RecordsOf(d))
        last[r.substr(0, r.find('|'))] = r.substr(r.find('|') + 1);
    }
    if (last.size() != kHosts * kPointsPerHost) return false;
    for (const auto& [name, value] : last) {
      const int index = std::stoi(name.substr(name.find('P') + 1));
      if (value != std::to_string(kPushes - kPointsPerHost + index))
        return false;
    }
    return true;
  };
  ASSERT_TRUE(env_.WaitUntilSent(lastValuesArrived));
  ASSERT_TRUE(env_.WaitUntilSent([](const std::vector<Bytes>& sent) {
    std::size_t events = 0;
    for (const Bytes& d : sent) {
      if (KindOf(d) == 0x02) events += RecordsOf(d).size();
    }
    return events == kHosts * ((kPushes + 2) / 3);
  }));
  Service().StopLink();

  // Events: each host's in push order, each exactly once. Items: per point,
  // values only ever rise (merged, never repeated or reordered).
  std::map<std::string, int> nextEvent;
  std::map<std::string, int> lastItem;
  for (const Bytes& d : env_.Sent()) {
    if (KindOf(d) == 0xFF) continue;
    for (const std::string& r : RecordsOf(d)) {
      const std::string name = r.substr(0, r.find('|'));
      const int value = std::stoi(r.substr(r.find('|') + 1));
      if (KindOf(d) == 0x02) {
        EXPECT_EQ(value, nextEvent[name]) << r;
        nextEvent[name] = value + 3;
      } else if (KindOf(d) == 0x01) {
        auto seen = lastItem.find(name);
        if (seen != lastItem.end()) {
          EXPECT_GT(value, seen->second) << r;
        }
        lastItem[name] = value;
      }
    }
  }
}

// Host threads that push the same points take each point over from one
// another: every point still ends with one value, the last one pushed, and
// that value is the last delivered; each thread's values arrive rising.
TEST_F(ConcurrentLinkTest, HostsPushingTheSamePointsDeliverTheirLastValues) {
  constexpr int kHosts = 3, kPushes = 3000, kPoints = 10;
  PushRound({"seed", "seed"});
  ASSERT_EQ(Service().StartLink(), 1);
  ASSERT_TRUE(env_.WaitForSent(1));  // the snapshot
  std::vector<std::thread> hosts;
  for (int h = 0; h < kHosts; ++h) {
    hosts.emplace_back([this, h] {
      for (int i = 0; i < kPushes; ++i)
        Service().points().Update("P" + std::to_string(i % kPoints),
                                  std::to_string(h) + ":" + std::to_string(i));
    });
  }
  for (auto& h : hosts) h.join();
  std::map<std::string, std::string> stored;
  for (int p = 0; p < kPoints; ++p) {
    const std::string name = "P" + std::to_string(p);
    ASSERT_TRUE(Service().points().Lookup(name, &stored[name]));
  }
  ASSERT_TRUE(env_.WaitUntilSent([&stored](const std::vector<Bytes>& sent) {
    std::map<std::string, std::string> last;
    for (const Bytes& d : sent) {
      if (KindOf(d) != 0x01) continue;
      for (const std::string& r : RecordsOf(d))
        last[r.substr(0, r.find('|'))] = r.substr(r.find('|') + 1);
    }
    return last == stored;
  }));
  Service().StopLink();
  std::map<std::string, int> lastPush;  // by point and host
  for (const Bytes& d : env_.Sent()) {
    if (KindOf(d) != 0x01) continue;
    for (const std::string& r : RecordsOf(d)) {
      const std::string value = r.substr(r.find('|') + 1);
      const std::string key =
          r.substr(0, r.find('|')) + "/" + value.substr(0, value.find(':'));
      const int push = std::stoi(value.substr(value.find(':') + 1));
      auto seen = lastPush.find(key);
      if (seen != lastPush.end()) {
        EXPECT_GT(push, seen->second) << r;
      }
      lastPush[key] = push;
    }
  }
}

// A point passes to its new owner before the old owner's lock is released.
// Here a second thread takes the point at the moment the first releases
// that lock, and holds it while the first returns: the slot it holds must
// still be the one the point names, or a third thread could lock the
// point's new owner and write it beside the second.
TEST_F(ConcurrentLinkTest, APointPassesToItsNewOwnerBeforeTheOldIsReleased) {
  struct SecondWriterHolds : PushProbe {
    explicit SecondWriterHolds(PointStore& p) : points(p) {}
    void OwnerReleased(const PointEntry&) override {
      if (std::this_thread::get_id() != first || second.joinable()) return;
      second = std::thread([this] {
        {
          std::lock_guard<std::mutex> hold(mu);
          secondId = std::this_thread::get_id();
        }
        points.Update("P", "second");
      });
      std::unique_lock<std::mutex> hold(mu);
      changed.wait(hold, [this] { return entry != nullptr; });
    }
    void OwnerLocked(const PointEntry& e, std::size_t slot) override {
      std::unique_lock<std::mutex> hold(mu);
      if (std::this_thread::get_id() != secondId) return;
      entry = &e;
      heldSlot = slot;
      changed.notify_all();
      changed.wait(hold, [this] { return go; });
    }
    PointStore& points;
    std::thread::id first;
    std::thread second;
    std::mutex mu;
    std::condition_variable changed;
    std::thread::id secondId;
    const PointEntry* entry = nullptr;
    std::size_t heldSlot = 0;
    bool go = false;
  } probe(Service().points());
  PushRound({"P", "P"});  // the point belongs to this thread's slot
  Service().points().SetProbe(&probe);
  std::thread first([&probe, this] {
    probe.first = std::this_thread::get_id();
    Service().points().Update("P", "first");
  });
  first.join();
  {
    std::lock_guard<std::mutex> hold(probe.mu);
    ASSERT_NE(probe.entry, nullptr);
    EXPECT_EQ(probe.entry->owner.load(), probe.heldSlot);
    probe.go = true;
    probe.changed.notify_all();
  }
  probe.second.join();
  Service().points().SetProbe(nullptr);
  std::string value;
  ASSERT_TRUE(Service().points().Lookup("P", &value));
  EXPECT_EQ(value, "second");
}

// Every snapshot lists points in first-seen order: for each host, its
// names in push order from its first on, none twice.
void ExpectFirstSeenOrder(const std::vector<Bytes>& snapshot) {
  std::map<std::string, int> lastIndex;
  for (const Bytes& d : snapshot) {
    for (const std::string& record : RecordsOf(d)) {
      const std::string name = record.substr(0, record.find('|'));
      const std::string host = name.substr(0, name.find('N'));
      const int index = std::stoi(name.substr(name.find('N') + 1));
      auto seen = lastIndex.find(host);
      EXPECT_EQ(index, seen == lastIndex.end() ? 0 : seen->second + 1) << name;
      lastIndex[host] = index;
    }
  }
}

TEST_F(ConcurrentLinkTest, ConcurrentSnapshotsDuringTheFirstRoundKeepItsOrder) {
  constexpr int kHosts = 3, kNames = 2000;
  OpenLink();
  std::atomic<bool> pushing{true};
  int snapshots = 0;
  std::thread operatorThread([this, &pushing, &snapshots] {
    while (pushing) {
      Service().SendSnapshot();
      ExpectFirstSeenOrder(env_.TakeSent());
      ++snapshots;
    }
  });
  std::vector<std::thread> hosts;
  for (int h = 0; h < kHosts; ++h) {
    hosts.emplace_back([this, h] {
      for (int i = 0; i < kNames; ++i)
        Service().points().Update(
            "H" + std::to_string(h) + "N" + std::to_string(i), "v");
    });
  }
  for (auto& h : hosts) h.join();
  pushing = false;
  operatorThread.join();
  EXPECT_GT(snapshots, 0);
  Service().SendSnapshot();
  std::vector<Bytes> last = env_.TakeSent();
  ExpectFirstSeenOrder(last);
  std::size_t records = 0;
  for (const Bytes& d : last) records += RecordsOf(d).size();
  EXPECT_EQ(records, static_cast<std::size_t>(kHosts * kNames));
}

}  // namespace
}  // namespace pelmora::testing

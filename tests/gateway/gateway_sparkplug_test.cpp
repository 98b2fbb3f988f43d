// The gateway as a Sparkplug B edge node: real hosts and datagrams from
// loopback through the real gateway to a real mosquitto broker. A
// subscriber reads every message with the gateway's schema and, through
// node, with the Eclipse Tahu package's, and the two readings must agree.
#include <gtest/gtest.h>
#include <mosquitto.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "host_run.h"
#include "loopback_broker.h"
#include "sparkplug_b.pb.h"

namespace pelmora::testing {
namespace {

using pelmora::sparkplug::Payload;
using std::chrono::milliseconds;
using std::chrono::seconds;

struct Seen {
  std::string topic;
  std::string raw;
  Payload payload;
  // "NBIRTH", "DDATA", ...: the topic's third level.
  std::string type() const {
    const std::size_t start = topic.find('/', topic.find('/') + 1) + 1;
    return topic.substr(start, topic.find('/', start) - start);
  }
  bool Of(const char* kind, const std::string& device = "") const {
    return type() == kind &&
           (device.empty() || (topic.size() > device.size() &&
                               topic.compare(topic.size() - device.size(),
                                             device.size(), device) == 0));
  }
};

// Every message under spBv1.0/, in order, decoded with our schema. With an
// `id` its session outlives a broker restart (QoS 0 messages kept too, as
// the test's broker is told).
class Watcher {
 public:
  explicit Watcher(int port, const char* id = nullptr)
      : client_(port, "spBv1.0/#", id,
                [this](const std::string& topic, std::string payload) {
                  Received(topic, std::move(payload));
                }) {}
  // Waits up to 20 s for `done` to hold; true if it did.
  bool WaitFor(const std::function<bool(const std::vector<Seen>&)>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, seconds(20), [&] { return done(seen_); });
  }
  std::vector<Seen> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  void Send(const std::string& topic, const Payload& payload) {
    client_.Publish(topic, payload.SerializeAsString());
  }
  void SendText(const std::string& topic, const std::string& text) {
    client_.Publish(topic, text);
  }

 private:
  void Received(const std::string& topic, std::string payload) {
    if (topic.rfind("spBv1.0/STATE/", 0) == 0) return;  // JSON, a host's
    Seen seen{topic, std::move(payload), {}};
    EXPECT_TRUE(seen.payload.ParseFromString(seen.raw)) << seen.topic;
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(std::move(seen));
    changed_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Seen> seen_;
  // Last: it calls Received until it is gone.
  TestClient client_;
};

std::string ValueText(const Payload::Metric& metric) {
  if (metric.is_null()) return "null";
  std::ostringstream text;
  switch (metric.value_case()) {
    case Payload::Metric::kStringValue:
      return metric.string_value();
    case Payload::Metric::kDoubleValue:
      text << metric.double_value();
      return text.str();
    case Payload::Metric::kLongValue:
      return std::to_string(metric.long_value());
    case Payload::Metric::kBooleanValue:
      return metric.boolean_value() ? "true" : "false";
    default:
      return "none";
  }
}

// A metric's properties as sparkplug_decode.js writes them: each
// "key:Type=value" as the Tahu package names the type, or the two arrays'
// lengths when they differ; empty without properties.
std::string PropertiesText(const Payload::Metric& metric) {
  if (!metric.has_properties()) return "";
  const Payload::PropertySet& set = metric.properties();
  if (set.keys_size() != set.values_size()) {
    return "{" + std::to_string(set.keys_size()) + " keys," +
           std::to_string(set.values_size()) + " values}";
  }
  std::string text = "{";
  for (int i = 0; i < set.keys_size(); ++i) {
    const Payload::PropertyValue& value = set.values(i);
    std::ostringstream number;
    number << value.double_value();
    text += (i == 0 ? "" : ",") + set.keys(i) + ':' +
            (value.type() == 10   ? "Double=" + number.str()
             : value.type() == 12 ? "String=" + value.string_value()
                                  : "type " + std::to_string(value.type()));
  }
  return text + "}";
}

// One message as sparkplug_decode.js writes it.
std::string Line(const Seen& seen) {
  std::string line =
      seen.topic + " seq=" +
      (seen.payload.has_seq() ? std::to_string(seen.payload.seq())
                              : std::string("-"));
  for (const Payload::Metric& m : seen.payload.metrics()) {
    line += " [" + m.name() + ',' +
            (m.has_alias() ? std::to_string(m.alias()) : "") + ',' +
            (m.has_datatype() ? std::to_string(m.datatype()) : "") + ',' +
            ValueText(m) +
            (m.has_properties() ? ',' + PropertiesText(m) : std::string()) +
            ']';
  }
  return line;
}

// Every message as the Tahu package's schema reads it, through node.
std::vector<std::string> TahuLines(const std::vector<Seen>& messages) {
  // A folder of its own: the tests run in parallel, each with its node.
  const TempDir dir;
  const std::string input = dir.path() + "/payloads.txt";
  {
    std::ofstream file(input);
    for (const Seen& seen : messages) {
      file << seen.topic << '\t';
      for (const unsigned char byte : seen.raw) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", byte);
        file << hex;
      }
      file << '\n';
    }
  }
  const std::string command = std::string("NODE_PATH='") + PELMORA_NPM_MODULES +
                              "' node '" + PELMORA_SPARKPLUG_DECODE_JS +
                              "' < '" + input + "'";
  std::vector<std::string> lines;
  FILE* node = ::popen(command.c_str(), "r");
  if (node == nullptr) return lines;
  std::string text;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, node)) > 0;)
    text.append(buffer, got);
  ::pclose(node);
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// The metrics of a birth by name, each with its alias: every alias given
// once.
std::map<std::string, const Payload::Metric*> ByName(const Seen& birth) {
  std::map<std::string, const Payload::Metric*> metrics;
  std::set<std::uint64_t> aliases;
  for (const Payload::Metric& m : birth.payload.metrics()) {
    metrics[m.name()] = &m;
    if (m.has_alias()) {
      EXPECT_TRUE(aliases.insert(m.alias()).second) << m.name();
    }
  }
  return metrics;
}

std::uint64_t BdSeq(const Seen& seen) {
  for (const Payload::Metric& m : seen.payload.metrics())
    if (m.name() == "bdSeq") return m.long_value();
  ADD_FAILURE() << "no bdSeq in " << seen.topic;
  return ~std::uint64_t{0};
}

// Every message but NDEATH takes the next seq, from 0 in each NBIRTH.
void ExpectSeqRuns(const std::vector<Seen>& messages) {
  std::uint64_t next = 0;
  for (const Seen& seen : messages) {
    if (seen.Of("NDEATH") || seen.Of("NCMD") || seen.Of("DCMD")) continue;
    if (seen.Of("NBIRTH")) next = 0;
    EXPECT_EQ(seen.payload.seq(), next) << seen.topic;
    next = (seen.payload.seq() + 1) % 256;
  }
}

const std::string kNode = "spBv1.0/Site/";
const std::string kDevice = "02-00-00-00-00-0D";

class SparkplugTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kMosquitto))
      GTEST_SKIP() << "no mosquitto broker here (scripts/setup.sh installs it)";
    if (!std::filesystem::exists(std::string(PELMORA_NPM_MODULES) +
                                 "/sparkplug-payload"))
      GTEST_SKIP() << "no sparkplug-payload package (scripts/setup.sh)";
    broker_ = std::make_unique<Broker>(
        true, "allow_anonymous true\nqueue_qos0_messages true\n");
  }
  void TearDown() override {
    if (watcher_ == nullptr) return;
    const std::vector<Seen> messages = watcher_->Messages();
    std::vector<std::string> ours;
    for (const Seen& seen : messages) ours.push_back(Line(seen));
    if (HasFailure())
      for (const std::string& line : ours) std::printf("%s\n", line.c_str());
    EXPECT_EQ(TahuLines(messages), ours);
  }

  void StartGateway(const std::vector<std::string>& more = {}) {
    // The node's bdSeq is kept in a state folder of the test's own.
    std::vector<std::string> args = {"--quiet",     "--sparkplug", "--group",
                                     "Site",        "--edge-node", "Gw1",
                                     "--state-dir", state_.path()};
    args.insert(args.end(), more.begin(), more.end());
    gateway_ = StartGatewayTool(broker_->port(), args, &gatewayPort_);
    ASSERT_GT(gatewayPort_, 0);
  }
  // Waits for `count` messages of `kind` (of `device`) in all.
  bool WaitForCount(const char* kind, std::size_t count,
                    const std::string& device = "") {
    return watcher_->WaitFor([&](const std::vector<Seen>& seen) {
      std::size_t found = 0;
      for (const Seen& s : seen) found += s.Of(kind, device) ? 1 : 0;
      return found >= count;
    });
  }
  std::vector<Seen> All(const char* kind, const std::string& device = "") {
    std::vector<Seen> found;
    for (const Seen& s : watcher_->Messages())
      if (s.Of(kind, device)) found.push_back(s);
    return found;
  }

  TempDir state_;
  std::unique_ptr<Broker> broker_;
  std::unique_ptr<Watcher> watcher_;
  std::unique_ptr<ChildProcess> gateway_;
  int gatewayPort_ = 0;
};

TEST_F(SparkplugTest, HostsAreDevicesBornWithEveryPointAndDataHoldsTheChanges) {
  watcher_ = std::make_unique<Watcher>(broker_->port());
  StartGateway({"--sparkplug-numeric"});
  const std::string temperature = "\xCE\xC2\xB6\xC8";  // 温度
  const std::string a = "02-00-00-00-00-0A";
  HostDir host(Targets().front());
  host.Configure(gatewayPort_, "02:00:00:00:00:0A");
  EXPECT_EQ(host.Run({"init",   "round",     "P",      "2",         "1",
                      "update", temperature, "warm",   "round",     "P",
                      "2",      "1",         "update", temperature, "warm",
                      "sleep",  "800",       "update", "P1",        "2.5",
                      "update", temperature, "\x81",   "event",     "e1",
                      "x",      "event",     "e2",     "y",         "sleep",
                      "500",    "uninit"})
                .exitCode,
            0);
  ASSERT_TRUE(WaitForCount("DDEATH", 1, a));  // two seconds of silence
  // Back: born again at once from the points the gateway holds, and again
  // when its snapshot, without the temperature, ends.
  EXPECT_EQ(host.Run({"init", "round", "P", "2", "7", "round", "P", "2", "7",
                      "sleep", "300", "uninit"})
                .exitCode,
            0);
  ASSERT_TRUE(WaitForCount("DBIRTH", 3, a));

  const std::vector<Seen> births = All("DBIRTH", a);
  auto metrics = ByName(births.front());
  ASSERT_EQ(metrics.size(), 5u);
  const std::string temperatureUtf8 = "\xE6\xB8\xA9\xE5\xBA\xA6";
  EXPECT_EQ(ValueText(*metrics["P0"]), "1");
  EXPECT_EQ(metrics["P0"]->datatype(), 10u);  // Double
  EXPECT_EQ(ValueText(*metrics[temperatureUtf8]), "warm");
  EXPECT_EQ(metrics[temperatureUtf8]->datatype(), 12u);  // String
  ASSERT_EQ(metrics.count("%Event"), 1u);
  ASSERT_EQ(metrics.count("%Complete"), 1u);
  EXPECT_EQ(ValueText(*metrics["%Complete"]), "true");

  // After the birth and before the silence: only what changed, by alias,
  // the events in order.
  std::vector<std::pair<std::uint64_t, std::string>> data;
  for (const Seen& seen : watcher_->Messages()) {
    if (seen.Of("DDEATH", a)) break;
    if (!seen.Of("DDATA", a)) continue;
    for (const Payload::Metric& m : seen.payload.metrics()) {
      EXPECT_FALSE(m.has_name());
      data.emplace_back(m.alias(), ValueText(m));
    }
  }
  const std::uint64_t events = metrics["%Event"]->alias();
  EXPECT_EQ(data, (std::vector<std::pair<std::uint64_t, std::string>>{
                      {metrics["P1"]->alias(), "2.5"},
                      {metrics[temperatureUtf8]->alias(), "%81"},
                      {events, "e1|x"},
                      {events, "e2|y"}}));
  // Two events of one datagram: two times, for a historian keyed on them.
  std::vector<std::uint64_t> eventTimes;
  for (const Seen& seen : All("DDATA", a))
    for (const Payload::Metric& m : seen.payload.metrics())
      if (m.alias() == events) eventTimes.push_back(m.timestamp());
  ASSERT_EQ(eventTimes.size(), 2u);
  EXPECT_LT(eventTimes[0], eventTimes[1]);
  EXPECT_EQ(ByName(births[1]).size(), 5u);
  metrics = ByName(births[2]);
  EXPECT_EQ(metrics.size(), 4u);
  EXPECT_EQ(metrics.count(temperatureUtf8), 0u);
  ExpectSeqRuns(watcher_->Messages());
}

TEST_F(SparkplugTest, SeqWrapsRebirthRestatesAndTheWillCarriesTheBdSeq) {
  watcher_ = std::make_unique<Watcher>(broker_->port());
  StartGateway();
  From station("127.0.0.1", gatewayPort_);
  station.Send(kSnapshot, {"A|0", "B|b"});
  ASSERT_TRUE(WaitForCount("DBIRTH", 1, kDevice));
  for (int i = 1; i <= 300; ++i)
    station.Send(kItem, {"A|" + std::to_string(i)});
  ASSERT_TRUE(WaitForCount("DDATA", 300, kDevice));

  Payload rebirth;
  Payload::Metric* metric = rebirth.add_metrics();
  metric->set_name("Node Control/Rebirth");
  metric->set_datatype(11);
  metric->set_boolean_value(true);
  // A host that asks again and again: one birth sequence in flight, one
  // more after it.
  for (int i = 0; i < 20; ++i) watcher_->Send(kNode + "NCMD/Gw1", rebirth);
  ASSERT_TRUE(WaitForCount("DBIRTH", 2, kDevice));
  std::this_thread::sleep_for(milliseconds(500));
  const std::vector<Seen> nodeBirths = All("NBIRTH");
  ASSERT_GE(nodeBirths.size(), 2u);
  EXPECT_LE(nodeBirths.size(), 5u);
  EXPECT_EQ(BdSeq(nodeBirths[0]), BdSeq(nodeBirths[1]));
  EXPECT_EQ(ValueText(*ByName(All("DBIRTH", kDevice).back())["A"]), "300");

  gateway_->Signal(SIGKILL);
  ASSERT_TRUE(WaitForCount("NDEATH", 1));
  EXPECT_EQ(BdSeq(All("NDEATH").front()), BdSeq(nodeBirths[1]));
  ExpectSeqRuns(watcher_->Messages());
}

TEST_F(SparkplugTest, ABrokerRestartBringsANewBdSeqAndBirthsWithEveryValue) {
  watcher_ = std::make_unique<Watcher>(broker_->port(), "spb-watcher");
  StartGateway();
  From station("127.0.0.1", gatewayPort_);
  station.Send(kSnapshot, {"A|1", "B|2"});
  ASSERT_TRUE(WaitForCount("DBIRTH", 1, kDevice));
  broker_->Shutdown();
  // Long enough for attempts refused a second apart (no CONNECT sent),
  // the station heard from meanwhile.
  for (int i = 0; i < 5; ++i) {
    station.Send(kItem, {"A|5"});
    std::this_thread::sleep_for(milliseconds(500));
  }
  broker_->Start();
  ASSERT_TRUE(WaitForCount("DBIRTH", 2, kDevice));
  const std::vector<Seen> nodeBirths = All("NBIRTH");
  ASSERT_EQ(nodeBirths.size(), 2u);
  // topics-nbirth-bdseq-increment: one more per CONNECT.
  EXPECT_EQ(BdSeq(nodeBirths[1]), BdSeq(nodeBirths[0]) + 1);
  const std::vector<Seen> births = All("DBIRTH", kDevice);
  auto metrics = ByName(births.back());
  EXPECT_EQ(ValueText(*metrics["A"]), "5");
  EXPECT_EQ(ValueText(*metrics["B"]), "2");
  ExpectSeqRuns(watcher_->Messages());
}

// The site file's units, limits and descriptions are properties of the
// described points' DBIRTH metrics, matched by the name the page shows (a
// GBK name in a UTF-8 file); read again after a SIGHUP, they bring a new
// DBIRTH of the stations whose properties changed.
TEST_F(SparkplugTest, TheSiteFilesUnitsAndLimitsAreBirthProperties) {
  TempDir dir;
  const std::string site = dir.path() + "/site";
  const std::string temperatureUtf8 = "\xE6\xB8\xA9\xE5\xBA\xA6";  // 温度
  WriteFile(site, "encoding utf-8\npoint * " + temperatureUtf8 +
                      " unit \xC2\xB0"
                      "C low -5 high 120.5 description "
                      "\"Tank 1, top\"\npoint 02-00-00-00-00-0D Lev* unit m "
                      "decimals 1\n");
  watcher_ = std::make_unique<Watcher>(broker_->port());
  StartGateway({"--sparkplug-numeric", "--site", site});
  From station("127.0.0.1", gatewayPort_);
  station.Send(kSnapshot, {"\xCE\xC2\xB6\xC8|20", "Level|3", "B|x"});
  ASSERT_TRUE(WaitForCount("DBIRTH", 1, kDevice));
  std::vector<Seen> births = All("DBIRTH", kDevice);
  auto metrics = ByName(births.front());
  EXPECT_EQ(PropertiesText(*metrics[temperatureUtf8]),
            "{engUnit:String=\xC2\xB0"
            "C,engLow:Double=-5,"
            "engHigh:Double=120.5,description:String=Tank 1, top}");
  EXPECT_EQ(PropertiesText(*metrics["Level"]), "{engUnit:String=m}");
  EXPECT_FALSE(metrics["B"]->has_properties());
  EXPECT_FALSE(metrics["%Event"]->has_properties());

  WriteFile(site, "encoding utf-8\npoint * Level unit cm high 400\n");
  gateway_->Signal(SIGHUP);
  ASSERT_TRUE(WaitForCount("DBIRTH", 2, kDevice));
  births = All("DBIRTH", kDevice);
  metrics = ByName(births.back());
  EXPECT_FALSE(metrics[temperatureUtf8]->has_properties());
  EXPECT_EQ(PropertiesText(*metrics["Level"]),
            "{engUnit:String=cm,engHigh:Double=400}");
  EXPECT_EQ(ValueText(*metrics["Level"]), "3");
  ExpectSeqRuns(watcher_->Messages());
}

// The gateway holds station 0D's key and the real host's plug-in the same
// one: a DCMD, by alias and by name, becomes one signed write each.
TEST_F(SparkplugTest, ADcmdWriteReachesTheHostsCallbackOnce) {
  const std::string key =
      "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
  TempDir dir;
  const std::string keys = dir.path() + "/keys";
  WriteFile(keys, "02-00-00-00-00-0D " + key + "\n");
  ::chmod(keys.c_str(), 0600);
  watcher_ = std::make_unique<Watcher>(broker_->port());
  StartGateway({"--keys", keys, "--state-dir", dir.path()});
  HostDir host(Targets().front());
  host.Configure(gatewayPort_, "02:00:00:00:00:0D");
  WriteFile(host.Drivers("Pelmora.ini"), ReadFile(host.Drivers("Pelmora.ini")) +
                                             "[COMMAND]\r\nKEY=" + key +
                                             "\r\n");
  HostResult result;
  std::thread running([&] {
    result =
        host.Run({"init", "callback", "round", "P", "3", "1", "round", "P", "3",
                  "1", "waitcallbacks", "2", "30000", "sleep", "300", "uninit"},
                 0);
  });
  ASSERT_TRUE(WaitForCount("DBIRTH", 1, kDevice));
  const std::vector<Seen> births = All("DBIRTH", kDevice);
  Payload write;
  Payload::Metric* byAlias = write.add_metrics();
  byAlias->set_alias(ByName(births.front())["P1"]->alias());
  byAlias->set_string_value("42");
  Payload::Metric* byName = write.add_metrics();
  byName->set_name("P2");
  byName->set_double_value(7.5);
  watcher_->Send(kNode + "DCMD/Gw1/" + kDevice, write);
  // No reply comes in Sparkplug: the host holds until its callback has had
  // both writes, then a little longer for any repeat to show.
  running.join();
  std::size_t calls = 0;
  for (std::size_t at = 0;
       (at = result.output.find("callback ", at)) != std::string::npos; ++at)
    ++calls;
  EXPECT_EQ(calls, 3u) << result.output;  // "callback registered" and two
  EXPECT_NE(result.output.find("callback P1 42\n"), std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find("callback P2 7.5\n"), std::string::npos)
      << result.output;
}

TEST_F(SparkplugTest, BirthsWaitForThePrimaryHostToBeOnline) {
  watcher_ = std::make_unique<Watcher>(broker_->port());
  StartGateway({"--primary-host", "Scada"});
  From station("127.0.0.1", gatewayPort_);
  station.Send(kSnapshot, {"A|1"});
  // Connected and past the settle time, with no word from the host yet.
  std::this_thread::sleep_for(milliseconds(800));
  EXPECT_TRUE(watcher_->Messages().empty());
  watcher_->SendText("spBv1.0/STATE/Scada",
                     "{\"online\":true,\"timestamp\":1}");
  ASSERT_TRUE(WaitForCount("DBIRTH", 1, kDevice));
  EXPECT_TRUE(watcher_->Messages().front().Of("NBIRTH"));
}

std::size_t Count(const std::vector<Seen>& messages, const char* kind) {
  std::size_t found = 0;
  for (const Seen& seen : messages) found += seen.Of(kind) ? 1 : 0;
  return found;
}

// The primary host's walk, against the real broker: another host's STATE,
// a retained rebirth request and stale STATEs change nothing; an offline
// host ends the connection, and the next one brings the next bdSeq.
TEST_F(SparkplugTest,
       AnOfflineHostEndsTheConnectionAndTheNextBirthHasTheNextBdSeq) {
  watcher_ = std::make_unique<Watcher>(broker_->port());
  Payload rebirth;
  rebirth.add_metrics()->set_name("Node Control/Rebirth");
  rebirth.mutable_metrics(0)->set_boolean_value(true);
  TestClient host(broker_->port(), "unused/none", nullptr,
                  [](const std::string&, std::string) {});
  host.Publish(kNode + "NCMD/Gw1", rebirth.SerializeAsString(), true);
  const std::string state = "spBv1.0/STATE/Scada";
  host.Publish("spBv1.0/STATE/Other", "{\"online\":true,\"timestamp\":1}",
               true);
  StartGateway({"--primary-host", "Scada"});
  From station("127.0.0.1", gatewayPort_);
  station.Send(kSnapshot, {"A|1"});
  host.Publish(state, "{\"online\":\ttrue,\"timestamp\":100}", true);
  ASSERT_TRUE(WaitForCount("DBIRTH", 1, kDevice));
  host.Publish(state, "{\"online\":false,\"timestamp\":50}", true);
  host.Publish(state, "{\"online\":false,\"timestamp\":200}", true);
  ASSERT_TRUE(WaitForCount("NDEATH", 1));
  host.Publish(state, "{\"online\":true,\"timestamp\":150}", true);
  host.Publish(state, "{\"online\":true,\"timestamp\":300}", true);
  ASSERT_TRUE(WaitForCount("DBIRTH", 2, kDevice));
  // The gateway ends: its will, registered with the second CONNECT.
  gateway_->Signal(SIGKILL);
  ASSERT_TRUE(WaitForCount("NDEATH", 3));

  std::vector<std::string> flow;
  for (const Seen& seen : watcher_->Messages())
    if (!seen.Of("NCMD")) flow.push_back(seen.type());
  // payloads-ndeath-will-message-publisher-disconnect-mqtt50: the node's
  // own NDEATH, then its will, which its DISCONNECT asks the broker for.
  EXPECT_EQ(flow,
            (std::vector<std::string>{"NBIRTH", "DBIRTH", "NDEATH", "NDEATH",
                                      "NBIRTH", "DBIRTH", "NDEATH"}));
  const std::vector<Seen> births = All("NBIRTH");
  const std::vector<Seen> deaths = All("NDEATH");
  ASSERT_EQ(births.size(), 2u);
  ASSERT_EQ(deaths.size(), 3u);
  EXPECT_EQ(BdSeq(deaths[0]), BdSeq(births[0]));
  EXPECT_EQ(BdSeq(deaths[1]), BdSeq(births[0]));
  EXPECT_EQ(BdSeq(births[1]), BdSeq(births[0]) + 1);
  EXPECT_EQ(BdSeq(deaths[2]), BdSeq(births[1]));
  ExpectSeqRuns(watcher_->Messages());
}

// A gateway replaced while its predecessor is frozen: the broker ends the
// old connection for the new one of the same client id and sends its will,
// whose bdSeq is not the live node's.
TEST_F(SparkplugTest, APredecessorsWillNeverMatchesTheLiveBirth) {
  watcher_ = std::make_unique<Watcher>(broker_->port());
  StartGateway();
  ASSERT_TRUE(WaitForCount("NBIRTH", 1));
  gateway_->Signal(SIGSTOP);
  std::unique_ptr<ChildProcess> predecessor = std::move(gateway_);
  StartGateway();
  ASSERT_TRUE(WaitForCount("NBIRTH", 2));
  ASSERT_TRUE(WaitForCount("NDEATH", 1));
  const std::vector<Seen> births = All("NBIRTH");
  EXPECT_EQ(BdSeq(births[1]), BdSeq(births[0]) + 1);
  EXPECT_EQ(BdSeq(All("NDEATH").front()), BdSeq(births[0]));
  predecessor->Signal(SIGKILL);
}

// Ten datagrams waiting while the gateway was frozen make ten DDATA at
// once, for a queue of two: those dropped leave a gap in seq, and the
// births that follow restate the last value.
TEST_F(SparkplugTest, DataTheQueueDropsBringsTheBirthsAgain) {
  watcher_ = std::make_unique<Watcher>(broker_->port());
  StartGateway({"--queue", "2"});
  From station("127.0.0.1", gatewayPort_);
  station.Send(kSnapshot, {"A|0"});
  ASSERT_TRUE(WaitForCount("DBIRTH", 1, kDevice));
  gateway_->Signal(SIGSTOP);
  for (int i = 1; i <= 10; ++i) station.Send(kItem, {"A|" + std::to_string(i)});
  gateway_->Signal(SIGCONT);
  ASSERT_TRUE(WaitForCount("DBIRTH", 2, kDevice));
  const std::vector<Seen> messages = watcher_->Messages();
  EXPECT_EQ(Count(messages, "NBIRTH"), 2u);
  EXPECT_LT(Count(messages, "DDATA"), 10u);
  EXPECT_EQ(ValueText(*ByName(All("DBIRTH", kDevice).back())["A"]), "10");
}

// A station whose DBIRTH the broker would not take is refused birth, said
// on stderr with its size; the node keeps its connection and the other
// station is born and sends data.
TEST_F(SparkplugTest, ADeviceBirthOverTheBrokersLimitIsRefusedAndTheNodeLives) {
  broker_ = std::make_unique<Broker>(true,
                                     "allow_anonymous true\n"
                                     "max_packet_size 2000\n");
  watcher_ = std::make_unique<Watcher>(broker_->port());
  // The broker says its limit in its CONNACK (MQTT 5): no option needed.
  StartGateway();
  From station("127.0.0.1", gatewayPort_);
  // 100 points in datagrams of 10: a DBIRTH of some 3,000 bytes.
  const std::array<std::uint8_t, 6> big = {2, 0, 0, 0, 0, 0x0B};
  for (int i = 0; i < 100; i += 10) {
    std::vector<std::string> points;
    for (int j = i; j < i + 10; ++j)
      points.push_back("Point" + std::to_string(j) + "|" +
                       std::string(10, 'v'));
    station.SendAs(big, kSnapshot, points);
  }
  station.Send(kSnapshot, {"A|1"});
  ASSERT_TRUE(WaitForCount("DBIRTH", 1, kDevice));
  station.SendAs(big, kItem, {"Point1|w"});
  station.Send(kItem, {"A|2"});
  ASSERT_TRUE(WaitForCount("DDATA", 1, kDevice));
  EXPECT_EQ(Count(watcher_->Messages(), "NBIRTH"), 1u);
  EXPECT_TRUE(All("DBIRTH", "02-00-00-00-00-0B").empty());
  gateway_->Signal(SIGTERM);
  const std::string errors = gateway_->ReadErrors();
  EXPECT_NE(errors.find("station 02-00-00-00-00-0B not born: its DBIRTH of "),
            std::string::npos)
      << errors;
  // A gateway that stops: its NDEATH, then the will its DISCONNECT asks for
  // (payloads-ndeath-will-message-publisher-disconnect-mqtt50).
  ASSERT_TRUE(WaitForCount("NDEATH", 2));
  for (const Seen& death : All("NDEATH"))
    EXPECT_EQ(BdSeq(death), BdSeq(All("NBIRTH").front()));
}

}  // namespace
}  // namespace pelmora::testing

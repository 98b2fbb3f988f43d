// The gateway's rules without a broker: names as topic levels, what the
// pelmora/ tree publishes as the station table takes datagrams and time
// passes, the queue
// while the broker is away, and the settings.
#include <gtest/gtest.h>
#include <mosquitto.h>

#include <sys/stat.h>

#include <fstream>
#include <map>

#include <httplib.h>

#include "broker_link.h"
#include "gateway_options.h"
#include "page_door.h"
#include "site_file.h"
#include "site_http.h"
#include "site_view.h"
#include "sparkplug_b.pb.h"
#include "reconnect_pause.h"
#include "sparkplug_node.h"
#include "station_table.h"
#include "topic_tree.h"
#include "topic_tree_mode.h"

namespace pelmora::gateway {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kStrongToken = "pG7rT0kQ2vX9mB4nW8sL1zY6cH3dF5jA";

TEST(TopicName, EscapesWhatMqttForbidsDecodesGbkAndGoesBack) {
  // `text`: the same name in a payload, where only '%' and the bytes that
  // are no character are escaped.
  const struct {
    std::string name;
    std::string level;
    std::string text;
  } cases[] = {
      {"P1.value", "P1.value", "P1.value"},
      {"a/b", "a%2Fb", "a/b"},
      {"x+y#50%", "x%2By%2350%25", "x+y#50%25"},
      {"\xCE\xC2\xB6\xC8", "\xE6\xB8\xA9\xE5\xBA\xA6",
       "\xE6\xB8\xA9\xE5\xBA\xA6"},  // 温度
      {std::string("\0\x01\x7F", 3), "%00%01%7F", "%00%01%7F"},
      {"A\xD6", "A%D6", "A%D6"},  // a lead byte that ends the name
      {"\xFF"
       "1",
       "%FF1", "%FF1"},  // a byte that starts no pair
      {" a b ", " a b ", " a b "},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TopicLevelOfName(c.name), c.level) << c.name;
    EXPECT_EQ(Utf8OfHostText(c.name), c.text) << c.name;
    std::string back;
    EXPECT_TRUE(NameOfTopicLevel(c.level, &back)) << c.level;
    EXPECT_EQ(back, c.name) << c.level;
    EXPECT_TRUE(HostTextOfUtf8(c.text, &back)) << c.text;
    EXPECT_EQ(back, c.name) << c.text;
  }
  // Only the level the encoder writes reads back: another spelling of the
  // same bytes would give one point two topics.
  for (const std::string level :
       {"%2", "%2f", "a/b", "a+", "\xED\x95\x9C" /* a Hangul syllable */,
        "\xF0\x9F\x98\x80", "~%4D" /* ~M */, "%20", "%d6", "%B0%A1" /* 啊 */,
        "A%D6%D0" /* A中 */, "a\x01", "\x7F"}) {
    std::string name;
    EXPECT_FALSE(NameOfTopicLevel(level, &name)) << level;
  }
}

// libmosquitto's own checks, on the topics of every byte and every GBK
// pair as a point name and on each of the gateway's other topics.
TEST(TopicTree, MosquittoAcceptsEveryTopicTheGatewayBuilds) {
  const std::string mac = "02-00-00-00-00-01";
  std::vector<std::string> topics = {EventsTopic(mac), StationStatusTopic(mac),
                                     kGatewayStatusTopic, kGatewayStatsTopic,
                                     PointTopic(mac, "")};
  std::vector<std::string> names;
  for (int byte = 0; byte < 256; ++byte)
    names.emplace_back(1, static_cast<char>(byte));
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x40; trail <= 0xFE; ++trail)
      names.push_back({static_cast<char>(lead), static_cast<char>(trail)});
  }
  for (const std::string& name : names) {
    topics.push_back(PointTopic(mac, name));
    std::string back;
    EXPECT_TRUE(NameOfTopicLevel(TopicLevelOfName(name), &back) && back == name)
        << "name " << std::hex << (name[0] & 0xFF) << " "
        << (name.size() > 1 ? name[1] & 0xFF : -1);
  }
  for (const std::string& topic : topics) {
    const auto length = static_cast<std::uint16_t>(topic.size());
    EXPECT_EQ(mosquitto_pub_topic_check2(topic.data(), length),
              MOSQ_ERR_SUCCESS)
        << topic;
    EXPECT_EQ(mosquitto_validate_utf8(topic.data(), length), MOSQ_ERR_SUCCESS)
        << topic;
  }
}

class StationTableTest : public ::testing::Test {
 protected:
  static wire::Datagram Datagram(std::uint8_t kind,
                                 std::vector<std::string> records,
                                 std::uint8_t station = 1) {
    wire::Datagram d;
    d.kind = kind;
    d.mac = {0x02, 0, 0, 0, 0, station};
    d.records = std::move(records);
    return d;
  }
  StationTableTest() { table_.Follow(&tree_); }
  // A table of other rules, followed by the tree.
  void Reset(StationTable::Options options) {
    table_ = StationTable(std::move(options));
    table_.Follow(&tree_);
  }
  // What the tree made of the table's changes since the last call.
  std::vector<Message> Published() {
    std::vector<Message> out;
    tree_.Take(&out);
    return out;
  }
  // Applies at `atMs` from the start and returns what the tree published
  // then, topic by topic in order.
  std::vector<Message> At(int atMs, const wire::Datagram& datagram,
                          std::uint32_t from = 0x7F000001) {
    last_ = table_.Apply(datagram, {from, 5000}, When(atMs));
    return Published();
  }
  std::vector<Message> TickAt(int atMs) {
    table_.Tick(When(atMs));
    return Published();
  }
  Moment When(int atMs) const {
    return {start_.steady + milliseconds(atMs),
            start_.wall + milliseconds(atMs)};
  }
  static std::map<std::string, std::string> Points(
      const std::vector<Message>& messages) {
    std::map<std::string, std::string> points;
    for (const Message& m : messages)
      if (m.topic.find("/points/") != std::string::npos)
        points[m.topic] = m.payload;
    return points;
  }

  static std::string Status(const std::vector<Message>& messages,
                            std::uint8_t station = 1) {
    std::string status;
    for (const Message& m : messages)
      if (m.topic ==
          "pelmora/02-00-00-00-00-0" + std::to_string(station) + "/status")
        status = m.payload;
    return status;
  }

  // Silence 5 s, settle 300 ms.
  static StationTable::Options Rules() {
    StationTable::Options options;
    options.silence = milliseconds(5000);
    options.settle = milliseconds(300);
    return options;
  }

  StationTable table_{Rules()};
  TopicTreeMessages tree_{table_, false};
  const Moment start_ = Moment::Now();
  StationTable::Verdict last_;
};

TEST_F(StationTableTest, ASnapshotClearsOnlyWhatThePreviousOneHeld) {
  const std::string root = "pelmora/02-00-00-00-00-01/points/";
  At(0, Datagram(0xFF, {"A|1", "B|2", "C|3"}));
  EXPECT_TRUE(Points(TickAt(400)).empty());  // the first snapshot clears none
  At(500, Datagram(0x01, {"D|4"}));          // a point in no snapshot
  // The host came back with a shorter list; C arrives as an item while the
  // snapshot runs, so only B has gone.
  At(1000, Datagram(0xFF, {"A|5"}));
  At(1100, Datagram(0x01, {"C|6"}));
  EXPECT_TRUE(Points(TickAt(1299)).empty());  // still settling
  const std::map<std::string, std::string> cleared = Points(TickAt(1300));
  EXPECT_EQ(cleared, (std::map<std::string, std::string>{{root + "B", ""}}));

  std::vector<Message> state;
  tree_.RetainedState(&state);
  EXPECT_EQ(Points(state),
            (std::map<std::string, std::string>{
                {root + "A", "5"}, {root + "C", "6"}, {root + "D", "4"}}));
}

// A second snapshot lacks B and C. It clears them only when no datagram
// was lost while it arrived (settle 300 ms); the losses are told as the
// gateway tells them: the count so far and the count when nothing last
// waited to be read.
TEST_F(StationTableTest, ASnapshotClearsOnlyWhenNothingWasLostWhileItCame) {
  struct Told {
    int atMs;
    std::uint64_t total, beforeIdle;
    bool counted = true;
  };
  const struct {
    const char* name;
    std::vector<Told> losses;
    bool complete;
  } cases[] = {
      {"none lost", {}, true},
      {"lost while it came", {{1050, 3, 0}}, false},
      {"lost after its end", {{1500, 3, 0}}, true},
      {"lost long before, read since", {{100, 3, 0}, {600, 3, 3}}, true},
      {"lost before, nothing read since", {{100, 3, 0}}, false},
      {"lost within the settle time before", {{800, 3, 3}}, false},
      {"not counted", {{500, 0, 0, false}}, false},
  };
  for (const auto& c : cases) {
    Reset(Rules());
    At(0, Datagram(wire::kKindSnapshot, {"A|1", "B|1", "C|1"}));
    TickAt(400);
    std::vector<Message> end;
    // The snapshot comes at 1000 and ends at 1400, each loss told in its
    // place in time.
    auto tell = [&](int fromMs, int toMs) {
      for (const Told& told : c.losses) {
        if (told.atMs >= fromMs && told.atMs < toMs)
          table_.NoteLosses({told.total, told.beforeIdle, told.counted},
                            When(told.atMs));
      }
      Published();
    };
    tell(0, 1000);
    At(1000, Datagram(wire::kKindSnapshot, {"A|2"}));
    tell(1000, 1400);
    end = TickAt(1400);
    EXPECT_EQ(Points(end).size(), c.complete ? 2u : 0u) << c.name;
    EXPECT_EQ(table_.IsComplete("02-00-00-00-00-01"), c.complete) << c.name;
    tell(1400, 2000);
    EXPECT_EQ(table_.incomplete_snapshots(), c.complete ? 0u : 1u) << c.name;
    EXPECT_NE(Status(end).find(c.complete ? "\"complete\":true,\"points\":1}"
                                          : "\"complete\":false,\"points\":3}"),
              std::string::npos)
        << c.name;
  }
}

// A loss may have been any station's: every complete tree is in doubt
// until its station's next snapshot without loss.
TEST_F(StationTableTest, ALossPutsEveryCompleteTreeInDoubt) {
  At(0, Datagram(wire::kKindSnapshot, {"A|1"}));
  At(0, Datagram(wire::kKindSnapshot, {"B|1"}, 2));
  TickAt(400);
  table_.NoteLosses({1, 0}, When(500));
  std::vector<Message> told = Published();
  EXPECT_EQ(told.size(), 2u);
  for (const Message& status : told)
    EXPECT_NE(status.payload.find("\"complete\":false"), std::string::npos)
        << status.topic;
  EXPECT_EQ(table_.incomplete_count(), 2u);
  table_.NoteLosses({1, 1}, When(600));  // nothing more lost
  EXPECT_TRUE(Published().empty());
  At(1000, Datagram(wire::kKindSnapshot, {"A|2"}));
  TickAt(1400);
  EXPECT_TRUE(table_.IsComplete("02-00-00-00-00-01"));
  EXPECT_FALSE(table_.IsComplete("02-00-00-00-00-02"));
}

// A station is asked for a snapshot when it comes online with none
// complete here, unless it comes with one.
TEST_F(StationTableTest, AStationIsAskedForASnapshotOnlyWhenItNeedsOne) {
  const struct {
    int atMs;
    std::uint8_t kind;
    bool wants;
  } steps[] = {
      {0, wire::kKindSnapshot, false},  // it is sending one
      {100, wire::kKindItem, false},    // online already
      {5500, wire::kKindItem, false},   // back from silence, complete
  };
  for (const auto& step : steps) {
    TickAt(step.atMs);
    At(step.atMs, Datagram(step.kind, {"A|1"}));
    EXPECT_EQ(last_.wantsSnapshot, step.wants) << step.atMs;
  }
  At(0, Datagram(wire::kKindItem, {"A|1"}, 2));
  EXPECT_TRUE(last_.wantsSnapshot);  // a station first heard with an item
}

TEST_F(StationTableTest, LastSnapshotIsWhenItsLastSnapshotDatagramCame) {
  At(0, Datagram(0xFF, {"A|1"}));
  At(100, Datagram(0xFF, {"B|1"}));
  At(200, Datagram(0x01, {"A|2"}));  // an item while it settles
  EXPECT_NE(Status(TickAt(400))
                .find("\"last_snapshot\":\"" + WallText(When(100).wall) + "\""),
            std::string::npos);
}

TEST_F(StationTableTest, PointsTheBrokerHeldCountAndGoWithTheNextSnapshot) {
  const std::string root = "pelmora/02-00-00-00-00-01/points/";
  table_.Learn(HeldPoints({{root + "A", "1", true},
                           {root + "B", "2", true},
                           {"pelmora/02-00-00-00-00-01/status", "{}", true}}));
  EXPECT_NE(Status(At(0, Datagram(0xFF, {"A|1"}))).find("\"points\":2}"),
            std::string::npos);
  const std::vector<Message> settled = TickAt(300);
  EXPECT_EQ(Points(settled),
            (std::map<std::string, std::string>{{root + "B", ""}}));
  EXPECT_NE(Status(settled).find("\"points\":1}"), std::string::npos);
}

TEST_F(StationTableTest, AnEmptyValueIsKeptAndIsNoClearing) {
  const std::string root = "pelmora/02-00-00-00-00-01/points/";
  EXPECT_EQ(
      Points(
          At(0, Datagram(0x01, {"E|", "F", std::string("N|\0x", 4), "G|g"}))),
      (std::map<std::string, std::string>{{root + "E", std::string(1, '\0')},
                                          {root + "F", std::string(1, '\0')},
                                          {root + "N", std::string("\0\0x", 3)},
                                          {root + "G", "g"}}));
  for (const std::string& value : {std::string(), std::string("\0", 1),
                                   std::string("\0\0", 2), std::string("v")})
    EXPECT_EQ(ValueOfPayload(PayloadOfValue(value)), value);
}

TEST_F(StationTableTest, AStationIsBoundToItsAddressUntilItFallsSilent) {
  At(0, Datagram(0x01, {"A|1"}), 0x7F000001);
  // Another address with the same MAC changes nothing while it is online.
  EXPECT_TRUE(At(100, Datagram(0xFF, {"A|forged"}), 0x7F000002).empty());
  EXPECT_EQ(last_.refusal, Refusal::kWrongAddress);
  At(200, Datagram(0x02, {"e|forged"}), 0x7F000002);
  EXPECT_TRUE(Points(TickAt(400)).empty());
  // Silent long enough, it may come back from another address: at once,
  // before the table has marked it offline.
  At(4999, Datagram(0x01, {"A|early"}), 0x7F000002);
  EXPECT_EQ(last_.refusal, Refusal::kWrongAddress);
  const std::vector<Message> moved =
      At(5000, Datagram(0x01, {"A|2"}), 0x7F000002);
  EXPECT_EQ(last_.refusal, Refusal::kNone);
  EXPECT_NE(Status(moved).find("127.0.0.2"), std::string::npos);
}

TEST_F(StationTableTest, TheTrustedListAndTheStationBoundRefuseTheRest) {
  const auto trusted = [](const char* text) {
    TrustedStation station;
    EXPECT_TRUE(ParseTrustedStation(text, &station)) << text;
    return station;
  };
  StationTable::Options options = Rules();
  options.trusted = {trusted("02-00-00-00-00-01 10.1.2.0/24"),
                     trusted("02:00:00:00:00:02 10.1.3.7"),
                     trusted("02-00-00-00-00-03 0.0.0.0/0")};
  options.maxStations = 2;
  Reset(options);
  const struct {
    std::uint8_t station;
    std::uint32_t from;
    Refusal refusal;
  } cases[] = {
      {1, 0x0A010205, Refusal::kNone},
      {1, 0x0A010305, Refusal::kWrongAddress},
      {2, 0x0A010306, Refusal::kWrongAddress},
      {2, 0x0A010307, Refusal::kNone},
      {4, 0x0A010205, Refusal::kUnknownStation},
      {3, 0x0A010205, Refusal::kTooManyStations},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(At(0, Datagram(0x01, {"A|1"}, c.station), c.from).empty(),
              c.refusal != Refusal::kNone);
    EXPECT_EQ(last_.refusal, c.refusal) << int{c.station} << " " << c.from;
  }
  // A station that moves inside its network while online says so.
  EXPECT_NE(Status(At(100, Datagram(0x01, {"A|2"}), 0x0A010209))
                .find("\"address\":\"10.1.2.9:5000\""),
            std::string::npos);
  for (const char* bad :
       {"02-00-00-00-00-01", "02-00-00-00-00-01 10.1.2",
        "02-00-00-00-00-01 10.1.2.0/33", "02-00-00-00-00-01 010.1.2.0/24",
        "02-00-00-00-00-0G 10.1.2.0", "10.1.2.0/24"}) {
    TrustedStation station;
    EXPECT_FALSE(ParseTrustedStation(bad, &station)) << bad;
  }
  std::vector<Message> out;
  tree_.Statuses(table_.GoOffline(), &out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].payload.rfind("{\"state\":\"offline\"", 0), 0u);
}

TEST_F(StationTableTest, ANameThatRepeatsStartsTheNextSnapshot) {
  At(0, Datagram(0xFF, {"A|1", "B|2"}));
  // Sent straight after, with no pause to settle: the second snapshot
  // lacks B.
  const std::vector<Message> second = At(50, Datagram(0xFF, {"A|1"}));
  EXPECT_EQ(Points(second), (std::map<std::string, std::string>{
                                {"pelmora/02-00-00-00-00-01/points/A", "1"}}));
  EXPECT_EQ(Points(TickAt(400)),
            (std::map<std::string, std::string>{
                {"pelmora/02-00-00-00-00-01/points/B", ""}}));
}

TEST_F(StationTableTest, StatusGoesOfflineAfterSilenceAndBackOnline) {
  auto status = [](const std::vector<Message>& messages) {
    const std::string state = Status(messages);
    return state.substr(0, state.find(','));
  };
  EXPECT_EQ(status(At(0, Datagram(0x02, {"door|open"}))),
            "{\"state\":\"online\"");
  EXPECT_EQ(status(TickAt(4900)), "");
  EXPECT_EQ(status(TickAt(5000)), "{\"state\":\"offline\"");
  EXPECT_EQ(status(TickAt(9000)), "");
  EXPECT_EQ(status(At(9100, Datagram(0x01, {"A|1"}))), "{\"state\":\"online\"");
}

TEST_F(StationTableTest, JsonPayloadsDecodeGbkAndKeepBytesThatAreNone) {
  StationTable table(Rules());
  TopicTreeMessages json(table, true);
  table.Follow(&json);
  table.Apply(Datagram(0x01, {"T|\xCE\xC2\xB6\xC8", "U|a\xFF"}), {1, 2},
              {start_.steady, std::chrono::system_clock::time_point(
                                  std::chrono::seconds(1796779425))});
  table.Apply(Datagram(0x02, {"alarm|\"hot\"|x"}), {1, 2},
              {start_.steady, start_.wall});
  std::vector<Message> out;
  json.Take(&out);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[1].payload,
            "{\"value\":\"\xE6\xB8\xA9\xE5\xBA\xA6\","
            "\"received\":\"2026-12-09T01:23:45.000Z\"}");
  EXPECT_EQ(out[2].payload.rfind(
                "{\"value\":\"a\xEF\xBF\xBD\",\"value_raw\":\"61ff\",", 0),
            0u)
      << out[2].payload;
  EXPECT_EQ(out[3].topic, "pelmora/02-00-00-00-00-01/events");
  EXPECT_EQ(out[3].payload.substr(0, 28),
            "{\"a\":\"alarm\",\"b\":\"\\\"hot\\\"|x\"");
}

// The edge node's rules without a broker: births wait for the primary
// host, a Double metric stays one, writes are refused without a command
// path, and the host's going away ends the node's session. The table it
// follows builds no pelmora/ tree.
TEST_F(StationTableTest, SparkplugNodeWaitsForItsHostAndKeepsItsTypes) {
  table_ = StationTable(Rules());
  SparkplugNode node({"G", "E", true, "Scada"});
  table_.Follow(&node);
  const std::string state = "spBv1.0/STATE/Scada";
  const std::string device = "spBv1.0/G/DBIRTH/E/02-00-00-00-00-01";
  node.Connected(3, When(0));
  EXPECT_TRUE(At(0, Datagram(wire::kKindSnapshot, {"T|20", "S|on"})).empty());
  EXPECT_TRUE(TickAt(400).empty());
  std::vector<Message> out;
  node.Take(&out);
  EXPECT_TRUE(out.empty());
  node.Receive({state, "{\"online\" : true, \"timestamp\": 1}", true},
               When(500));
  At(600, Datagram(wire::kKindItem, {"T|n/a", "S|on"}));
  node.Take(&out);
  ASSERT_EQ(out.size(), 3u);
  sparkplug::Payload nbirth, dbirth, ddata;
  ASSERT_TRUE(nbirth.ParseFromString(out[0].payload));
  ASSERT_TRUE(dbirth.ParseFromString(out[1].payload));
  ASSERT_TRUE(ddata.ParseFromString(out[2].payload));
  EXPECT_EQ(out[0].topic, "spBv1.0/G/NBIRTH/E");
  EXPECT_EQ(nbirth.metrics(0).long_value(), 2u);  // the third attempt
  EXPECT_EQ(out[1].topic, device);
  ASSERT_EQ(dbirth.metrics_size(), 4);  // S, T, the events, complete
  EXPECT_EQ(dbirth.metrics(0).string_value(), "on");
  EXPECT_EQ(dbirth.metrics(3).name(), "%Complete");
  EXPECT_TRUE(dbirth.metrics(3).boolean_value());
  EXPECT_EQ(dbirth.metrics(1).name(), "T");
  EXPECT_EQ(dbirth.metrics(1).datatype(), 10u);  // Double
  EXPECT_EQ(dbirth.metrics(1).double_value(), 20.0);
  // Only T changed, and is no number now.
  ASSERT_EQ(ddata.metrics_size(), 1);
  EXPECT_EQ(ddata.metrics(0).alias(), dbirth.metrics(1).alias());
  EXPECT_TRUE(ddata.metrics(0).is_null());
  // A datagram lost anywhere: the device's list is in doubt.
  out.clear();
  table_.NoteLosses({1, 0}, When(650));
  node.Take(&out);
  ASSERT_EQ(out.size(), 1u);
  ASSERT_TRUE(ddata.ParseFromString(out[0].payload));
  ASSERT_EQ(ddata.metrics_size(), 1);
  EXPECT_EQ(ddata.metrics(0).alias(), dbirth.metrics(3).alias());
  EXPECT_FALSE(ddata.metrics(0).boolean_value());

  sparkplug::Payload write;
  write.add_metrics()->set_alias(dbirth.metrics(1).alias());
  write.mutable_metrics(0)->set_double_value(5);
  node.Receive(
      {"spBv1.0/G/DCMD/E/02-00-00-00-00-01", write.SerializeAsString(), false},
      When(700));
  EXPECT_EQ(node.refused_commands(), 1u);
  // The host's write waits for the metric to change: its value, again.
  out.clear();
  node.Take(&out);
  ASSERT_EQ(out.size(), 1u);
  ASSERT_TRUE(ddata.ParseFromString(out[0].payload));
  ASSERT_EQ(ddata.metrics_size(), 1);
  EXPECT_EQ(ddata.metrics(0).alias(), dbirth.metrics(1).alias());
  EXPECT_TRUE(ddata.metrics(0).is_null());
  std::vector<std::string> lines;
  node.TakeLines(&lines);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("write of T on station 02-00-00-00-00-01 refused"),
            std::string::npos)
      << lines[0];
  // One too long to have been held, its writes unknown: refused.
  Message tooLong{"spBv1.0/G/DCMD/E/02-00-00-00-00-01", "", false};
  tooLong.refusedLength = 70000;
  node.Receive(tooLong, When(750));
  EXPECT_EQ(node.refused_commands(), 2u);

  out.clear();
  node.Receive({state, "{\"online\":false,\"timestamp\":2}", true}, When(800));
  node.Take(&out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].topic, "spBv1.0/G/NDEATH/E");
  sparkplug::Payload death;
  ASSERT_TRUE(death.ParseFromString(out[0].payload));
  EXPECT_FALSE(death.has_seq());
  EXPECT_EQ(death.metrics(0).long_value(), 2u);
}

// Edge-node rules a conformance run checks, without a broker; each
// expectation names the assertion it holds.
TEST_F(StationTableTest, SparkplugNodeHeedsItsHostCommandsAndNames) {
  table_ = StationTable(Rules());
  SparkplugNode node({"G", "E", false, "Scada"});
  node.StartAt(255);  // kept by the process before: wraps to 0, then 1
  table_.Follow(&node);
  const std::string state = "spBv1.0/STATE/Scada";
  std::vector<Message> out;
  const auto types = [&] {
    std::vector<std::string> seen;
    for (const Message& m : out) {
      const std::size_t at = m.topic.find('/', 8) + 1;
      seen.push_back(m.topic.substr(at, m.topic.find('/', at) - at));
    }
    out.clear();
    return seen;
  };
  const auto heed = [&](const std::string& topic, const std::string& json,
                        int atMs) {
    node.Receive({topic, json, true}, When(atMs));
    node.Take(&out);
    return types();
  };
  using Types = std::vector<std::string>;
  node.Connected(2, When(0));
  At(0, Datagram(wire::kKindSnapshot, {"Temp|1", "temp|2", "A|3"}));
  TickAt(400);
  EXPECT_EQ(
      heed("spBv1.0/STATE/Other", "{\"online\":true,\"timestamp\":9}", 450),
      Types{})
      << "message-flow-edge-node-birth-publish-phid-wait-id: another host's "
         "STATE";
  EXPECT_EQ(heed(state, "{\"online\":\ttrue, \"timestamp\": 100}", 500),
            (Types{"NBIRTH", "DBIRTH"}))
      << "message-flow-edge-node-birth-publish-phid-wait: online, a tab in it";
  // Data the old connection made and never sent: the births restate it.
  At(505, Datagram(wire::kKindItem, {"A|4"}));
  // Every metric of every birth carries its timestamp.
  node.Connected(2, When(510));
  node.Take(&out);
  EXPECT_EQ(types(), Types{})
      << "principles-birth-certificates-order: nothing of the old connection "
         "before the NBIRTH (nor before the host is online)";
  node.Receive({state, "{\"online\":true,\"timestamp\":100}", true}, When(520));
  node.Take(&out);
  ASSERT_EQ(out.size(), 2u);
  std::uint64_t stationsOnline = 0;
  for (const Message& birth : out) {
    sparkplug::Payload payload;
    ASSERT_TRUE(payload.ParseFromString(birth.payload));
    for (const auto& metric : payload.metrics()) {
      EXPECT_TRUE(metric.has_timestamp())
          << "payloads-name-birth-data-requirement: " << birth.topic << " "
          << metric.name();
      if (metric.name() == "Gateway/Stations online")
        stationsOnline = metric.alias();
    }
    if (birth.topic == "spBv1.0/G/NBIRTH/E") {
      EXPECT_EQ(payload.metrics(0).long_value(), 0u)
          << "topics-nbirth-bdseq-increment: 255 kept, the second CONNECT";
    }
  }
  out.clear();
  // The gateway's health: in NDATA, only what changed.
  node.NoteHealth({2, 0, 0, 0}, When(525));
  node.NoteHealth({2, 0, 0, 0}, When(526));
  node.Take(&out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].topic, "spBv1.0/G/NDATA/E");
  sparkplug::Payload ndata;
  ASSERT_TRUE(ndata.ParseFromString(out[0].payload));
  ASSERT_EQ(ndata.metrics_size(), 1);
  EXPECT_NE(stationsOnline, 0u);
  EXPECT_EQ(ndata.metrics(0).alias(), stationsOnline);
  EXPECT_EQ(ndata.metrics(0).long_value(), 2u);
  out.clear();
  // A point first heard after the birth: a metric only a DBIRTH may add.
  At(527, Datagram(wire::kKindItem, {"New|1"}));
  node.Take(&out);
  EXPECT_EQ(types(), Types{"DBIRTH"});
  // Temp and temp: said once, however often the station is born.
  std::vector<std::string> lines;
  node.TakeLines(&lines);
  ASSERT_EQ(lines.size(), 1u) << "case-sensitivity-metric-names";
  EXPECT_NE(lines[0].find("\"Temp\" and \"temp\""), std::string::npos)
      << lines[0];

  // Retained commands act at every connection: ignored, counted.
  sparkplug::Payload rebirth;
  rebirth.add_metrics()->set_name("Node Control/Rebirth");
  rebirth.mutable_metrics(0)->set_boolean_value(true);
  EXPECT_EQ(heed("spBv1.0/G/NCMD/E", rebirth.SerializeAsString(), 530),
            Types{});
  sparkplug::Payload write;
  write.add_metrics()->set_name("A");
  write.mutable_metrics(0)->set_string_value("4");
  heed("spBv1.0/G/DCMD/E/02-00-00-00-00-01", write.SerializeAsString(), 540);
  EXPECT_EQ(node.ignored_retained(), 2u);
  EXPECT_EQ(node.refused_commands(), 0u);
  node.Receive({"spBv1.0/G/NCMD/E", rebirth.SerializeAsString(), false},
               When(545));
  node.Receive({"spBv1.0/G/NCMD/E", rebirth.SerializeAsString(), false},
               When(545));
  EXPECT_TRUE(node.rebirth_asked());
  node.Take(&out);
  EXPECT_EQ(types(), Types{}) << "answered when the gateway's loop says";
  node.Rebirth(When(545));
  node.Take(&out);
  EXPECT_EQ(types(), (Types{"NBIRTH", "DBIRTH"}));
  rebirth.mutable_metrics(0)->set_boolean_value(false);
  node.Receive({"spBv1.0/G/NCMD/E", rebirth.SerializeAsString(), false},
               When(546));
  EXPECT_FALSE(node.rebirth_asked()) << "Rebirth = false asks for nothing";
  // A DBIRTH over the broker's limit would end the node's connection at
  // every birth: refused, said, counted; the node stays born.
  node.LimitPackets(150);
  rebirth.mutable_metrics(0)->set_boolean_value(true);
  node.Receive({"spBv1.0/G/NCMD/E", rebirth.SerializeAsString(), false},
               When(547));
  node.Rebirth(When(547));
  node.Take(&out);
  EXPECT_EQ(types(), Types{"NBIRTH"});
  // Not made again at every datagram: only a new list or NBIRTH retries.
  At(548, Datagram(wire::kKindItem, {"A|9"}));
  node.Take(&out);
  EXPECT_EQ(types(), Types{});
  EXPECT_EQ(node.refused_births(), 1u);
  lines.clear();
  node.TakeLines(&lines);
  ASSERT_EQ(lines.size(), 3u);  // two retained commands, and this birth
  EXPECT_NE(lines[2].find("station 02-00-00-00-00-01 not born"),
            std::string::npos)
      << lines[2];
  node.LimitPackets(0);

  EXPECT_EQ(heed(state, "{\"online\":false,\"timestamp\":50}", 550), Types{})
      << "operational-behavior-edge-node-termination-host-offline-timestamp: "
         "an offline older than the online heeded";
  EXPECT_FALSE(node.TakeConnectionEnd());
  EXPECT_EQ(heed(state, "{\"online\":false,\"timestamp\":200}", 600),
            Types{"NDEATH"})
      << "operational-behavior-edge-node-termination-host-offline";
  EXPECT_TRUE(node.TakeConnectionEnd())
      << "message-flow-edge-node-birth-publish-phid-offline: the connection "
         "ends";
  node.Connected(3, When(700));
  EXPECT_EQ(heed(state, "{\"online\":false,\"timestamp\":200}", 710), Types{})
      << "the retained offline again, on the new connection";
  EXPECT_EQ(heed(state, "{\"online\":true,\"timestamp\":150}", 720), Types{})
      << "a stale online";
  EXPECT_EQ(heed(state, "{\"online\":true}", 725), Types{})
      << "no timestamp: no STATE";
  node.Receive({state, "{\"online\":true,\"timestamp\":300}", true}, When(730));
  node.Take(&out);
  ASSERT_EQ(out.size(), 2u);
  sparkplug::Payload nbirth;
  ASSERT_TRUE(nbirth.ParseFromString(out[0].payload));
  EXPECT_EQ(nbirth.metrics(0).long_value(), 1u)
      << "operational-behavior-edge-node-termination-host-offline-reconnect: "
         "the next CONNECT's bdSeq";
}

// 1, 2, 4, ... seconds up to the longest; a second again after a
// connection that was up.
TEST(ReconnectPause, DoublesUpToTheLongestAndStartsOverAfterAConnection) {
  const struct {
    int longest;
    std::vector<bool> wasUp;
    std::vector<int> pauses;
  } cases[] = {
      {30,
       {false, false, false, false, false, false, false},
       {1, 2, 4, 8, 16, 30, 30}},
      {5, {false, false, false, false, true, false}, {1, 2, 4, 5, 1, 2}},
      {1, {false, false, true}, {1, 1, 1}},
  };
  for (const auto& c : cases) {
    ReconnectPause pause(c.longest);
    std::vector<int> pauses;
    for (const bool up : c.wasUp) pauses.push_back(pause.After(up));
    EXPECT_EQ(pauses, c.pauses) << "longest " << c.longest;
  }
}

TEST(BrokerLink, WhileTheBrokerIsAwayEventsWaitUpToTheLimitAndValuesDoNot) {
  BrokerLink::Options options;
  options.queueLimit = 3;
  BrokerLink link(options);  // never started: the broker is away
  for (const char* event : {"e1", "e2", "e3", "e4", "e5"})
    link.Publish({"pelmora/M/events", event, false});
  // Retained messages wait as the last payload of each topic, never
  // dropped: a clearing, a value that replaces another.
  link.Publish({"pelmora/M/points/A", "1", true});
  link.Publish({"pelmora/M/points/B", "", true});
  link.Publish({"pelmora/M/points/A", "2", true});
  EXPECT_EQ(link.backlog(), 3u + 2u);
  EXPECT_EQ(link.dropped(), 2u);
}

TEST(GatewayOptions, TheCommandLineOverridesTheConfigFile) {
  const std::string path = ::testing::TempDir() + "pelmora_gateway.conf";
  std::ofstream(path) << "# site 1\n"
                         "broker = mqtt.example.net\n"
                         "broker-port = 8883\r\n"
                         "  user = pelmora  \n"
                         "json = yes\n"
                         "silence = 300\n"
                         "station = 02-00-00-00-00-01 10.0.0.0/8\n"
                         "station = 02-00-00-00-00-02 10.0.0.1\n"
                         "http = 0.0.0.0:8080\n"
                         "http-name = scada.site\n"
                         "sparkplug = true\n"
                         "group = Plant 1\n"
                         "rcvbuf = 1048576\n"
                         "validity = 2500\n";
  const std::string secret = ::testing::TempDir() + "pelmora_gateway.secret";
  std::ofstream(secret) << "s3cret\r\n";
  // Files readable by their owner alone, and one that others may read.
  auto file = [](const std::string& name, const std::string& text,
                 mode_t mode) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path) << text;
    ::chmod(path.c_str(), mode);
    return path;
  };
  const std::string token =
      file("pelmora_page.token", kStrongToken + "\n", 0600);
  std::vector<std::string> words = {"pelmora-gateway",
                                    "--config",
                                    path,
                                    "--broker-port",
                                    "1884",
                                    "--settle",
                                    "50",
                                    "--password-file",
                                    secret,
                                    "--http-token-file",
                                    token,
                                    "--http",
                                    "9090",
                                    "--edge-node",
                                    "Gw"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  GatewayOptions options;
  int status = -1;
  ASSERT_TRUE(ParseGatewayOptions(static_cast<int>(argv.size()), argv.data(),
                                  &options, &status));
  EXPECT_EQ(options.broker.host, "mqtt.example.net");
  EXPECT_EQ(options.broker.port, 1884);
  EXPECT_EQ(options.broker.user, "pelmora");
  EXPECT_TRUE(options.json);
  EXPECT_EQ(options.stations.silence, std::chrono::seconds(300));
  EXPECT_EQ(options.stations.settle, milliseconds(50));
  EXPECT_EQ(options.broker.password, "s3cret");
  EXPECT_EQ(options.stations.trusted.size(), 2u);
  // A port alone listens on loopback only, whatever the file said.
  EXPECT_EQ(options.http.address, "127.0.0.1");
  EXPECT_EQ(options.http.port, 9090);
  EXPECT_EQ(options.http.names, std::vector<std::string>{"scada.site"});
  EXPECT_EQ(options.http.token, kStrongToken);
  EXPECT_TRUE(options.sparkplug);
  EXPECT_EQ(options.node.group, "Plant 1");
  EXPECT_EQ(options.node.edgeNode, "Gw");
  EXPECT_EQ(options.receiveBufferBytes, 1048576);
  EXPECT_EQ(options.commands.validity, milliseconds(2500));

  // A Sparkplug id is one topic level; a Sparkplug node needs both; the
  // page's token file must be there, and a key file a file.
  std::vector<std::string> badLines;
  for (const char* bad :
       {"silence = soon\n", "group = a/b\n", "sparkplug = true\ngroup = G\n",
        "http-token-file = /nonexistent/token\n", "keys = /\n",
        "rcvbuf = 4095\n", "rcvbuf = 2147483648\n", "validity = 99\n",
        "validity = 60001\n", "state-dir = \n", "max-packet = 268435456\n",
        "site = /nonexistent\n"}) {
    badLines.push_back(bad);
  }
  // A site file at fault stops the start, its line named.
  badLines.push_back("site = " + file("pelmora_bad.site",
                                      "encoding utf-8\npoint * T high x\n",
                                      0644));
  // The page's token strong and its own, its TLS key its owner's, the
  // certificate with its key.
  badLines.push_back("http-token-file = " +
                     file("pelmora_weak.token", "page-s3cret\n", 0600));
  badLines.push_back("http-token-file = " +
                     file("pelmora_open.token", kStrongToken, 0644));
  badLines.push_back("http-cert = " + token + "\nhttp-key = " +
                     file("pelmora_open.key", "k", 0640) + "\n");
  badLines.push_back("http-cert = " + token + "\n");
  for (const std::string& bad : badLines) {
    std::ofstream(path) << bad;
    GatewayOptions fresh;
    status = -1;
    EXPECT_FALSE(ParseGatewayOptions(3, argv.data(), &fresh, &status)) << bad;
    EXPECT_EQ(status, 2) << bad;
  }
}

// The site file's lines, each alone after the encoding line: taken, or
// refused with its line number and why.
TEST(SiteFile, EachLineIsTakenOrRefusedByItsNumber) {
  const struct {
    std::string line;
    const char* error;  // nullptr: taken
  } cases[] = {
      {"station 02-00-00-00-00-0a name \"Pump house\" place North", nullptr},
      {"station 02-00-00-00-00-0A", nullptr},
      {"station * name x", "line 2: a station line is"},
      {"station 02-00-00-00-00 name x", "line 2: a station line is"},
      {"station 02-00-00-00-00-0A colour red",
       "line 2: unknown setting colour"},
      {"station 02-00-00-00-00-0A name", "line 2: name needs a value"},
      {"station 02-00-00-00-00-0A name a name b", "line 2: name given twice"},
      {"point * T unit \xC2\xB0"
       "C decimals 1 low -5 high 8e1",
       nullptr},
      {"point * \"tank level\" description \"say \\\"hi\\\"\"", nullptr},
      {"point * T decimals 10", "line 2: decimals is 0 to 9: 10"},
      {"point * T low 0x10", "line 2: low is a decimal number: 0x10"},
      {"point * T low 5 high 4", "line 2: low is above high"},
      {"point * T low 5 high 5", nullptr},
      {"point * T severity urgent", "line 2: no such severity: urgent"},
      {"point * \"T", "line 2: a quote is not closed"},
      {"point * \"T\"x", "line 2: a blank must follow a closing quote"},
      {"point * \"a\\b\"", "line 2: only"},
      {"point T", "line 2: a point line is"},
      {"event * alarm* severity critical field b", nullptr},
      {"event * alarm*", "line 2: an event line needs its severity"},
      {"event * alarm* severity major field c", "line 2: field is a, b"},
      {"encoding gbk", "line 2: the encoding is said once"},
      {"tag * x", "line 2: unknown line tag"},
      {"point * \xFF", "line 2: a byte here is no UTF-8"},
  };
  for (const auto& c : cases) {
    SiteFile site;
    std::string error;
    const bool taken =
        SiteFile::Parse({{1, "encoding utf-8"}, {2, c.line}}, &site, &error);
    EXPECT_EQ(taken, c.error == nullptr) << c.line << ": " << error;
    if (c.error != nullptr) {
      EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.line << ": " << error;
    }
  }
  SiteFile site;
  std::string error;
  EXPECT_FALSE(
      SiteFile::Parse({{3, "station 02-00-00-00-00-0A"}}, &site, &error));
  EXPECT_EQ(error.rfind("line 3: the file must say its encoding first", 0), 0u);
  EXPECT_FALSE(SiteFile::Parse(
      {{1, "encoding utf-8"}, {2, "point * T"}, {4, "point * T unit K"}}, &site,
      &error));
  EXPECT_EQ(error, "line 4: point T is set twice for *");
  // A file in GBK: its names are read as the page shows them; a byte that
  // starts no GBK character is refused.
  ASSERT_TRUE(SiteFile::Parse(
      {{1, "encoding gbk"}, {2, "point * \xCE\xC2\xB6\xC8 unit C"}}, &site,
      &error))
      << error;
  EXPECT_NE(site.PointOf("02-00-00-00-00-0A", "\xE6\xB8\xA9\xE5\xBA\xA6"),
            nullptr);
  EXPECT_FALSE(SiteFile::Parse({{1, "encoding gbk"}, {2, "point * \x81"}},
                               &site, &error));
  EXPECT_EQ(error, "line 2: a byte here starts no GBK character");
}

// Which line a point and an event come under.
TEST(SiteFile, AnExactNameWinsThenTheStationsOwnLineThenTheFirst) {
  SiteFile site;
  std::string error;
  ASSERT_TRUE(
      SiteFile::Parse({{1, "encoding utf-8"},
                       {2, "point * P* unit a"},
                       {3, "point 02-00-00-00-00-0B P? unit b"},
                       {4, "point * P1 unit c"},
                       {5, "point * ?\xE6\xB8\xA9* unit d"},
                       {6, "event 02-00-00-00-00-0B door severity minor"},
                       {7, "event * *alarm* severity critical"},
                       {8, "event * *high* severity major field b"}},
                      &site, &error))
      << error;
  const struct {
    const char* mac;
    const char* name;
    int line;  // 0: none
  } points[] = {
      {"02-00-00-00-00-0A", "P1", 4},
      {"02-00-00-00-00-0B", "P1", 4},
      {"02-00-00-00-00-0B", "P2", 3},
      {"02-00-00-00-00-0B", "P22", 2},
      {"02-00-00-00-00-0A", "P2", 2},
      {"02-00-00-00-00-0A", "Q", 0},
      {"02-00-00-00-00-0A", "p2", 0},
      {"02-00-00-00-00-0A", "\xE6\xB0\xB4\xE6\xB8\xA9", 5},
      {"02-00-00-00-00-0A", "\xE6\xB8\xA9", 0},
  };
  for (const auto& p : points) {
    const PointRule* rule = site.PointOf(p.mac, p.name);
    EXPECT_EQ(rule == nullptr ? 0 : rule->line, p.line)
        << p.mac << " " << p.name;
  }
  const struct {
    const char* mac;
    const char* a;
    const char* b;
    int line;
  } events[] = {
      {"02-00-00-00-00-0B", "door", "open", 6},
      {"02-00-00-00-00-0A", "door", "open", 0},
      {"02-00-00-00-00-0A", "fire alarm", "", 7},
      {"02-00-00-00-00-0A", "T", "too high", 8},
      {"02-00-00-00-00-0A", "too high", "", 0},
  };
  for (const auto& e : events) {
    const EventRule* rule = site.EventOf(e.mac, e.a, e.b);
    EXPECT_EQ(rule == nullptr ? 0 : rule->line, e.line) << e.mac << " " << e.a;
  }
}

// An alarm's life as values and events come and the operator
// acknowledges: what each step changes, and what stays listed.
TEST(AlarmList, LimitsAndEventsRaiseAndAnAcknowledgedReturnedAlarmLeaves) {
  SiteFile site;
  std::string error;
  ASSERT_TRUE(SiteFile::Parse({{1, "encoding utf-8"},
                               {2, "point * T low 0 high 10 severity major"},
                               {3, "event * alarm severity critical"}},
                              &site, &error))
      << error;
  const std::string mac = "02-00-00-00-00-0A";
  const PointRule* rule = site.PointOf(mac, "T");
  const EventRule* alarmEvent = site.EventOf(mac, "alarm", "high");
  ASSERT_TRUE(rule != nullptr && alarmEvent != nullptr);
  AlarmList alarms;
  const auto t0 = std::chrono::system_clock::time_point(seconds(1000));
  std::uint64_t lastId = 0;
  const struct {
    const char* step;    // a value of T, "ack" (the last alarm), or "event"
    const char* change;  // "state kind count", or "" for no change
    std::size_t listed;
  } steps[] = {
      {"5", "", 0},
      {"10", "", 0},  // on the limit is within it
      {"11", "unacknowledged high 1", 1},
      {"12", "", 1},
      {"ack", "acknowledged high 1", 1},
      {"13", "", 1},
      {"5", "closed high 1", 0},
      {"-0.5", "unacknowledged low 1", 1},
      {"5", "returned low 1", 1},
      {"12", "unacknowledged high 2", 1},
      {"off", "returned high 2", 1},
      {"ack", "closed high 2", 0},
      {"event", "unacknowledged event 1", 1},
      {"event", "unacknowledged event 2", 1},
      {"ack", "closed event 2", 0},
      {"ack", "", 0},  // no such alarm any more
  };
  int i = 0;
  for (const auto& s : steps) {
    const auto now = t0 + seconds(++i);
    std::vector<AlarmList::Alarm> changed;
    const std::string step = s.step;
    if (step == "ack") {
      alarms.Acknowledge(lastId, "127.0.0.1", now, &changed);
    } else if (step == "event") {
      alarms.Event(mac, "alarm|high", alarmEvent, now, &changed);
    } else {
      alarms.PointValue(mac, "T", step, rule, now, &changed);
    }
    std::string change;
    if (!changed.empty()) {
      const AlarmList::Alarm& a = changed.back();
      lastId = a.id;
      const char* kinds[] = {"high", "low", "event"};
      change = std::string(AlarmList::StateName(a)) + " " +
               kinds[static_cast<int>(a.kind)] + " " + std::to_string(a.count);
      EXPECT_EQ(a.changed, now) << step;
      if (a.acknowledged) {
        EXPECT_EQ(a.acknowledgedBy, "127.0.0.1");
      }
    }
    EXPECT_EQ(change, s.change) << "step " << i << ": " << step;
    const std::string list = alarms.ListJson();
    std::size_t listed = 0;
    for (std::size_t at = 0;
         (at = list.find("\"id\":", at)) != std::string::npos; ++at)
      ++listed;
    EXPECT_EQ(listed, s.listed) << "step " << i << ": " << list;
  }
  // Every change is in the journal, the newest first.
  const std::string journal = alarms.JournalJson();
  EXPECT_LT(journal.find("\"state\":\"closed\""),
            journal.find("\"state\":\"unacknowledged\""));
  std::size_t entries = 0;
  for (std::size_t at = 0;
       (at = journal.find("\"id\":", at)) != std::string::npos; ++at)
    ++entries;
  EXPECT_EQ(entries, 11u) << journal;
}

TEST(SiteView, AStationsPointKeepsItsLastNumbersAndALateReaderReloads) {
  SiteView view;
  StationTable table({});
  view.Watch(&table);
  const wire::Endpoint from{0x7F000001, 4000};
  const Moment now = Moment::Now();
  auto item = [&](const std::string& record) {
    table.Apply({0x01, {2, 0, 0, 0, 0, 1}, {record}}, from, now);
    view.Admit("02-00-00-00-00-01", from, now, table);
  };
  std::string trend = "[";
  for (int i = 0; i < 70; ++i) {
    item("A|" + std::to_string(i));
    if (i >= 10) trend += std::to_string(i) + (i < 69 ? "," : "]");
  }
  item("A|69");  // the same value again is no change
  // Changes, and no numbers: as the Sparkplug node types them.
  for (const char* value : {"0x10", " 42", "inf", "off"})
    item(std::string("A|") + value);
  std::string json;
  ASSERT_TRUE(view.Points("02-00-00-00-00-01", "", 0, 10, &json));
  EXPECT_NE(json.find("\"value\":\"off\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"changes\":74,\"trend\":" + trend), std::string::npos)
      << json;
  // The chart's history holds every number with its time, beyond the
  // sparkline's.
  ASSERT_TRUE(view.Trend("02-00-00-00-00-01", "41", &json));
  const std::string ms = std::to_string(
      std::chrono::duration_cast<milliseconds>(now.wall.time_since_epoch())
          .count());
  EXPECT_NE(json.find("\"samples\":[[" + ms + ",0],[" + ms + ",1],"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("[" + ms + ",69]]"), std::string::npos) << json;
  EXPECT_EQ(view.ChangesAfter(0, "", milliseconds(0)).changes.front()->kind,
            "station");
  // Malformed datagrams count for the station of their address and port.
  view.Malformed(from);
  view.Malformed(from);
  view.Malformed({0x7F000001, 4001});
  EXPECT_NE(view.Stations(now.wall).find("\"malformed\":2,"),
            std::string::npos);

  // A reader further behind than the log reaches, or from before this
  // gateway started, reads everything again.
  for (int i = 0; i < 20000; ++i) item("B|" + std::to_string(i));
  EXPECT_TRUE(view.ChangesAfter(0, "", milliseconds(0)).reload);
  EXPECT_TRUE(
      view.ChangesAfter(view.LastChange() + 1, "", milliseconds(0)).reload);
  const SiteView::Changes none =
      view.ChangesAfter(view.LastChange(), "", milliseconds(0));
  EXPECT_TRUE(none.changes.empty() && !none.reload);
}

// A page of another site, reached through a name rebound to this
// machine, names that site in Host and Origin.
TEST(SiteHttp, OnlyRequestsNamingThisGatewayAreServed) {
  HttpOptions loopback;
  HttpOptions everywhere;
  ASSERT_TRUE(ParseHttpListen("0.0.0.0:8080", &everywhere));
  everywhere.names = {"scada.site"};
  const struct {
    const HttpOptions& options;
    const char* host;
    const char* origin;
    bool allowed;
  } cases[] = {
      {loopback, "127.0.0.1:8080", "", true},
      {loopback, "LOCALHOST:8080", "http://localhost:8080", true},
      {loopback, "[::1]:8080", "", true},
      {loopback, "attacker.example:8080", "", false},
      {loopback, "localhost:8081", "", false},
      {loopback, "localhost", "", false},  // port 80 is not ours
      {loopback, "", "", false},
      {loopback, "localhost:8080", "http://attacker.example", false},
      {loopback, "localhost:8080", "http://localhost:8081", false},
      {loopback, "localhost:8080", "null", false},
      {loopback, "10.1.2.3:8080", "", false},
      {everywhere, "10.1.2.3:8080", "http://10.1.2.3:8080", true},
      {everywhere, "scada.site:8080", "", true},
      {everywhere, "scada.site.attacker.example:8080", "", false},
      {everywhere, "10.1.2.3.nip.example:8080", "", false},
  };
  for (const auto& c : cases) {
    std::string reason;
    EXPECT_EQ(RequestAllowed(c.host, c.origin, c.options, 8080, &reason),
              c.allowed)
        << c.host << " " << c.origin;
    EXPECT_EQ(reason.empty(), c.allowed) << c.host;
  }
  HttpOptions options;
  for (const char* bad : {"", "http", "8080x", "65536", "localhost:8080",
                          "1.2.3:80", ":80", "999.0.0.1:80", "010.0.0.1:80"}) {
    EXPECT_FALSE(ParseHttpListen(bad, &options)) << bad;
  }
  // A write carries the configured token, whole; none configured, none
  // passes.
  const struct {
    const char* authorization;
    const char* token;
    bool allowed;
  } writes[] = {
      {"Bearer k3y", "k3y", true},  {"Bearer k3y", "", false},
      {"Bearer ", "", false},       {"", "", false},
      {"Bearer k3", "k3y", false},  {"Bearer k3yy", "k3y", false},
      {"bearer k3y", "k3y", false}, {"k3y", "k3y", false},
      {"Bearer k3x", "k3y", false},
  };
  for (const auto& w : writes) {
    EXPECT_EQ(WriteAuthorised(w.authorization, w.token), w.allowed)
        << w.authorization << " / " << w.token;
  }
}

// A token must hold 128 bits if drawn at random from the smallest
// alphabet its characters fit.
TEST(PageDoor, ATokenOfFewerThan128BitsIsRefused) {
  const struct {
    std::string token;
    bool strong;
  } cases[] = {
      {std::string(38, '7'), false},
      {std::string(39, '7'), true},
      {std::string(31, 'a'), false},
      {std::string(32, 'F'), true},
      {"pG7rT0kQ2vX9mB4nW8sL1", false},
      {"pG7rT0kQ2vX9mB4nW8sL1z", true},
      {"page-s3cret", false},
      {"", false},
      {"pG7rT0kQ2vX9mB4n W8sL1zY6", false},
      {"pG7rT0kQ2vX9mB4n\tW8sL1zY6", false},
      {"pG7rT0kQ2vX9mB4n\xC3\xA9W8sL1zY", false},
  };
  for (const auto& c : cases) {
    std::string why;
    EXPECT_EQ(TokenStrongEnough(c.token, &why), c.strong) << c.token;
    EXPECT_EQ(why.empty(), c.strong) << c.token;
    EXPECT_EQ(why.find(c.token.empty() ? "\x01" : c.token), std::string::npos)
        << why;
  }
}

// Three wrong tokens cost nothing; each after doubles the wait, up to a
// minute; the right one forgets them, and a guesser is slowed alone.
TEST(PageDoor, WrongTokensMakeTheirClientWaitLongerEachTime) {
  AuthBackoff backoff;
  const AuthBackoff::Clock::time_point start{seconds(1000)};
  const struct {
    const char* client;
    int at;           // seconds after start
    const char* act;  // "fail", "ok", or "try"
    bool may;         // whether a try at `at` may go
    int wait;         // and when not, the wait told
  } steps[] = {
      {"a", 0, "fail", true, 0},
      {"a", 0, "fail", true, 0},
      {"a", 0, "fail", true, 0},
      {"a", 0, "try", true, 0},
      {"a", 0, "fail", true, 0},
      {"a", 0, "try", false, 1},
      {"b", 0, "try", true, 0},
      {"a", 1, "try", true, 0},
      {"a", 1, "fail", true, 0},
      {"a", 2, "try", false, 1},
      {"a", 3, "fail", true, 0},
      {"a", 4, "try", false, 3},
      {"a", 7, "fail", true, 0},
      {"a", 7, "fail", true, 0},
      {"a", 7, "fail", true, 0},
      {"a", 7, "fail", true, 0},
      {"a", 7, "try", false, 60},
      {"a", 67, "ok", true, 0},
      {"a", 67, "fail", true, 0},
      {"a", 67, "try", true, 0},
      // Ten minutes after its last failure, a client starts afresh.
      {"c", 0, "fail", true, 0},
      {"c", 0, "fail", true, 0},
      {"c", 0, "fail", true, 0},
      {"c", 600, "fail", true, 0},
      {"c", 600, "try", true, 0},
  };
  int step = 0;
  for (const auto& s : steps) {
    const auto now = start + seconds(s.at);
    const std::string act = s.act;
    if (act == "fail") {
      backoff.Failed(s.client, now);
    } else if (act == "ok") {
      backoff.Succeeded(s.client);
    } else {
      seconds wait{0};
      EXPECT_EQ(backoff.MayTry(s.client, now, &wait), s.may) << "step " << step;
      EXPECT_EQ(wait.count(), s.wait) << "step " << step;
    }
    ++step;
  }
  EXPECT_EQ(backoff.failures(), 15u);
  EXPECT_EQ(backoff.refused(), 4u);
}

// The page's write endpoint takes no value that no datagram could carry or
// that the host would cut short, and reads no body beyond what such a write
// needs.
TEST(SiteHttp, AWriteNoDatagramCouldCarryIsRefusedUnread) {
  SiteView view;
  HttpOptions options;
  options.port = 0;
  options.token = "t0ken";
  SiteHttp http(view, options);
  std::string error;
  ASSERT_TRUE(http.Start(&error)) << error;
  httplib::Client client("127.0.0.1", http.port());
  const struct {
    std::string value;  // as JSON
    int status;
  } cases[] = {
      {"\"1\\u0000\"", 400},
      {"\"" + std::string(1024, '7') + "\"", 400},
      {"\"" + std::string(1023, '7') + "\"", 404},  // no such station
      {"\"" + std::string(17000, '7') + "\"", 413},
  };
  for (const auto& c : cases) {
    const auto response = client.Post(
        "/api/write", {{"Authorization", "Bearer t0ken"}},
        "{\"station\":\"02-00-00-00-00-0D\",\"point\":\"41\",\"value\":" +
            c.value + ",\"client\":\"t\"}",
        "application/json");
    ASSERT_TRUE(response) << c.value.substr(0, 20);
    EXPECT_EQ(response->status, c.status) << c.value.substr(0, 20);
  }
  // An acknowledgement names one alarm by its number, with the token.
  const struct {
    const char* token;
    const char* body;
    int status;
  } acks[] = {
      {"t0ken", "{\"id\":\"7\"}", 404},  // no such alarm
      {"t0kem", "{\"id\":\"7\"}", 403},
      {"t0ken", "{\"id\":\"0\"}", 400},
      {"t0ken", "{\"id\":\"7x\"}", 400},
      {"t0ken", "{\"id\":7}", 400},
      {"t0ken", "{\"id\":\"7\",\"by\":\"me\"}", 400},
  };
  for (const auto& a : acks) {
    const auto response =
        client.Post("/api/alarms/ack",
                    {{"Authorization", std::string("Bearer ") + a.token}},
                    a.body, "application/json");
    ASSERT_TRUE(response) << a.body;
    EXPECT_EQ(response->status, a.status) << a.token << " " << a.body;
  }
}

}  // namespace
}  // namespace pelmora::gateway

// The gateway's rules without a broker: names as topic levels, what the
// station table publishes as datagrams arrive and time passes, the queue
// while the broker is away, and the settings.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "broker_link.h"
#include "gateway_options.h"
#include "station_table.h"
#include "topic_name.h"

namespace pelmora::gateway {
namespace {

using std::chrono::milliseconds;

TEST(TopicName, EscapesWhatMqttForbidsDecodesGbkAndGoesBack) {
  const struct {
    std::string name;
    std::string level;
  } cases[] = {
      {"P1.value", "P1.value"},
      {"a/b", "a%2Fb"},
      {"x+y#50%", "x%2By%2350%25"},
      {"\xCE\xC2\xB6\xC8", "\xE6\xB8\xA9\xE5\xBA\xA6"},  // 温度
      {std::string("\0\x01\x7F", 3), "%00%01%7F"},
      {"A\xD6", "A%D6"},  // a lead byte that ends the name
      {"\xFF"
       "1",
       "%FF1"},  // a byte that starts no pair
      {" a b ", " a b "},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TopicLevelOfName(c.name), c.level) << c.name;
    std::string back;
    EXPECT_TRUE(NameOfTopicLevel(c.level, &back)) << c.level;
    EXPECT_EQ(back, c.name) << c.level;
  }
  for (const std::string level :
       {"%2", "%2f", "a/b", "a+", "\xED\x95\x9C" /* a Hangul syllable */,
        "\xF0\x9F\x98\x80"}) {
    std::string name;
    EXPECT_FALSE(NameOfTopicLevel(level, &name)) << level;
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
  // Applies at `atMs` from the start and returns what the table published
  // then, topic by topic in order.
  std::vector<Message> At(int atMs, const wire::Datagram& datagram) {
    std::vector<Message> out;
    table_.Apply(datagram, {0x7F000001, 5000}, When(atMs), &out);
    return out;
  }
  std::vector<Message> TickAt(int atMs) {
    std::vector<Message> out;
    table_.Tick(When(atMs), &out);
    return out;
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

  StationTable table_{{false, milliseconds(5000), milliseconds(300)}};
  const Moment start_ = Moment::Now();
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
  EXPECT_TRUE(Points(TickAt(1200)).empty());  // still settling
  const std::map<std::string, std::string> cleared = Points(TickAt(1400));
  EXPECT_EQ(cleared, (std::map<std::string, std::string>{{root + "B", ""}}));

  std::vector<Message> state;
  table_.RetainedState(&state);
  EXPECT_EQ(Points(state),
            (std::map<std::string, std::string>{
                {root + "A", "5"}, {root + "C", "6"}, {root + "D", "4"}}));
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
    std::string state;
    for (const Message& m : messages)
      if (m.topic == "pelmora/02-00-00-00-00-01/status") state = m.payload;
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
  StationTable json({true, milliseconds(5000), milliseconds(300)});
  std::vector<Message> out;
  json.Apply(Datagram(0x01, {"T|\xCE\xC2\xB6\xC8", "U|a\xFF"}), {1, 2},
             {start_.steady, std::chrono::system_clock::time_point(
                                 std::chrono::seconds(1796779425))},
             &out);
  json.Apply(Datagram(0x02, {"alarm|\"hot\"|x"}), {1, 2},
             {start_.steady, start_.wall}, &out);
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
                         "silence = 300\n";
  std::vector<std::string> words = {
      "pelmora-gateway", "--config", path, "--broker-port", "1884",
      "--settle",        "50"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  GatewayOptions options;
  int status = -1;
  ASSERT_TRUE(ParseGatewayOptions(static_cast<int>(argv.size()), argv.data(),
                                  &options, &status));
  EXPECT_EQ(options.broker.host, "mqtt.example.net");
  EXPECT_EQ(options.broker.port, 1884);
  EXPECT_EQ(options.broker.user, "pelmora");
  EXPECT_TRUE(options.stations.json);
  EXPECT_EQ(options.stations.silence, std::chrono::seconds(300));
  EXPECT_EQ(options.stations.settle, milliseconds(50));

  std::ofstream(path) << "silence = soon\n";
  EXPECT_FALSE(ParseGatewayOptions(3, argv.data(), &options, &status));
  EXPECT_EQ(status, 2);
}

}  // namespace
}  // namespace pelmora::gateway

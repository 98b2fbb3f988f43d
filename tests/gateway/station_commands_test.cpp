// Signed commands from the gateway's side, with time given by the test: the
// test plays the station, signing its replies with OpenSSL directly and
// reading the commands with the server's wire reader.
#include <gtest/gtest.h>
#include <openssl/hmac.h>
#include <sys/stat.h>

#include "command_topics.h"
#include "snapshot_requests.h"
#include "station_reply.h"
#include "support/service_fixture.h"
#include "station_commands.h"

namespace pelmora::gateway {
namespace {

using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;

const std::string kMac = "02-00-00-00-00-0D";
constexpr wire::Endpoint kStation{0x7F000001, 40000};

wire::StationKey KeyOf(std::uint8_t first) {
  wire::StationKey key;
  for (std::size_t i = 0; i < key.size(); ++i)
    key[i] = static_cast<std::uint8_t>(first + i);
  return key;
}

Bytes Hmac(const wire::StationKey& key, const Bytes& bytes) {
  unsigned char out[32];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), bytes.data(),
       bytes.size(), out, &length);
  return Bytes(out, out + length);
}

Bytes Reply(const wire::StationKey& key, const wire::Nonce& nonce,
            std::uint32_t sequence, std::uint8_t state, std::uint8_t reason) {
  return testing::StationReply(key, {2, 0, 0, 0, 0, 0x0D}, nonce, sequence,
                               state, reason);
}

class StationCommandsTest : public ::testing::Test {
 protected:
  StationCommandsTest() { Restart(); }
  // A new server, knowing nothing of the one before.
  void Restart() {
    wire::StationCommands::Options options;
    options.keys[kMac] = key_;
    options.firstPause = milliseconds(250);
    options.longestPause = milliseconds(4000);
    options.mostSends = 8;
    commands_ = std::make_unique<wire::StationCommands>(
        options, [this](const std::string& mac) {
          return mac == kMac && known_ ? std::optional(kStation) : std::nullopt;
        });
  }

  // The commands sent at `ms` after the start, read back; each checked to
  // go to the station under a signature that holds.
  std::vector<wire::SignedDatagram> At(int ms) {
    std::vector<wire::OutgoingDatagram> out;
    commands_->Tick(
        {start_.steady + milliseconds(ms), start_.wall + milliseconds(ms)},
        &out, &outcomes_);
    std::vector<wire::SignedDatagram> read;
    for (const wire::OutgoingDatagram& datagram : out) {
      EXPECT_EQ(datagram.to.port, kStation.port);
      const Bytes& b = datagram.bytes;
      EXPECT_EQ(Hmac(key_, Bytes(b.begin(), b.end() - 32)),
                Bytes(b.end() - 32, b.end()));
      wire::SignedDatagram d;
      EXPECT_TRUE(wire::ParseSignedDatagram(b.data(), b.size(), &d, nullptr));
      read.push_back(d);
    }
    return read;
  }
  wire::ReplyVerdict Answer(const Bytes& bytes) {
    wire::SignedDatagram reply;
    EXPECT_TRUE(
        wire::ParseSignedDatagram(bytes.data(), bytes.size(), &reply, nullptr));
    return commands_->OnReply(reply, bytes.data(), bytes.size());
  }
  std::string States() {
    std::string states;
    for (const wire::CommandOutcome& o : outcomes_)
      states += o.id + ":" + wire::CommandStateName(o.state) +
                (o.reason.empty() ? "" : "(" + o.reason + ")") + " ";
    return states;
  }

  const wire::StationKey key_ = KeyOf(1);
  const wire::Nonce nonce_ = {9, 8, 7, 6, 5, 4, 3, 2};
  // On a whole second: a first sequence need not wait for its slot.
  const Moment start_ = {std::chrono::steady_clock::now(),
                         std::chrono::floor<std::chrono::seconds>(
                             std::chrono::system_clock::now())};
  bool known_ = true;
  std::unique_ptr<wire::StationCommands> commands_;
  std::vector<wire::CommandOutcome> outcomes_;
};

TEST_F(StationCommandsTest,
       ARefusalTeachesTheSessionAndTheWriteGoesAgainAtOnce) {
  commands_->Write(kMac, "SP1", "42.5", "op-1");
  auto sent = At(0);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].nonce, wire::Nonce{});
  EXPECT_EQ(sent[0].name + "=" + sent[0].value, "SP1=42.5");
  const std::uint32_t sequence = sent[0].sequence;
  EXPECT_EQ(Answer(Reply(key_, nonce_, sequence, 3, 5)),
            wire::ReplyVerdict::kTaken);
  sent = At(1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].nonce, nonce_);
  EXPECT_EQ(sent[0].sequence, sequence);
  // A reply under another key changes nothing.
  EXPECT_EQ(Answer(Reply(KeyOf(2), nonce_, sequence, 2, 0)),
            wire::ReplyVerdict::kBadSignature);
  Answer(Reply(key_, nonce_, sequence, 1, 0));
  Answer(Reply(key_, nonce_, sequence, 1, 0));  // a resend's reply
  EXPECT_TRUE(At(2).empty());
  EXPECT_EQ(States(), "op-1:queued ");
  // A new session (the host's link restarted) before the delivery: the
  // write goes again at once, to it.
  const wire::Nonce next = {1, 1, 1, 1, 1, 1, 1, 1};
  Answer(Reply(key_, next, 0, 0, 0));
  sent = At(3);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].nonce, next);
  Answer(Reply(key_, next, sequence, 2, 0));
  EXPECT_TRUE(At(5000).empty());
  EXPECT_EQ(States(), "op-1:queued op-1:delivered ");
  EXPECT_EQ(outcomes_.back().name, "SP1");
  EXPECT_EQ(outcomes_.back().time, start_.wall + milliseconds(5000));
}

TEST_F(StationCommandsTest, UnansweredSendsDoubleTheirPausesThenGiveUp) {
  commands_->Write(kMac, "SP1", "1", "op-1");
  std::vector<int> sends;
  std::uint32_t sequence = 0;
  for (int ms = 0; ms <= 30000; ms += 50) {
    for (const auto& d : At(ms)) {
      sends.push_back(ms);
      if (sequence == 0) sequence = d.sequence;
      EXPECT_EQ(d.sequence, sequence);
    }
  }
  EXPECT_EQ(sends,
            (std::vector<int>{0, 250, 750, 1750, 3750, 7750, 11750, 15750}));
  ASSERT_EQ(outcomes_.size(), 1u);
  EXPECT_EQ(outcomes_[0].state, wire::CommandState::kUnanswered);
  EXPECT_EQ(outcomes_[0].time, start_.wall + milliseconds(19750));
}

TEST_F(StationCommandsTest, WritesGoOneAtATimeInOrderUnderGrowingSequences) {
  commands_->Write(kMac, "A", "1", "a");
  commands_->Write(kMac, "B", "2", "b");
  auto sent = At(0);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].name, "A");
  const std::uint32_t first = sent[0].sequence;
  Answer(Reply(key_, nonce_, first, 1, 0));
  EXPECT_TRUE(At(100).empty());
  // A station refusal other than for the session ends the command.
  Answer(Reply(key_, nonce_, first, 3, 1));
  sent = At(101);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].name, "B");
  EXPECT_GT(sent[0].sequence, first);
  EXPECT_EQ(States(), "a:queued a:refused(no callback) ");
  // A server that stops tells what became of each.
  commands_->Write(kMac, "C", "3", "c");
  outcomes_.clear();
  commands_->Stop(start_, &outcomes_);
  EXPECT_EQ(States(),
            "b:unanswered(the server stopped before a reply) "
            "c:refused(the server stopped) ");
}

TEST_F(StationCommandsTest, ANewServerStartsAboveTheSequenceOfTheOneBefore) {
  commands_->Write(kMac, "A", "1", "a");
  EXPECT_TRUE(At(10).empty());  // until the next eighth of a second
  auto sent = At(125);
  ASSERT_EQ(sent.size(), 1u);
  const std::uint32_t before = sent[0].sequence;
  Restart();
  commands_->Write(kMac, "A", "2", "a");
  EXPECT_TRUE(At(130).empty());
  sent = At(250);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_GT(sent[0].sequence, before);
}

TEST(StationCommandsRefusal, NothingIsSentWithoutKeyAddressOrRoom) {
  struct Case {
    std::string mac;
    bool known;
    int writes;
    std::string states;
  } cases[] = {
      {"02-00-00-00-00-0E", true, 1, "refused:no key for this station "},
      {kMac, false, 1,
       "refused:station not heard from: no address to send to "},
      {kMac, true, 3, "refused:too many commands waiting for this station "},
  };
  for (const Case& c : cases) {
    wire::StationCommands::Options options;
    options.keys[kMac] = KeyOf(1);
    options.mostWaiting = 2;
    wire::StationCommands commands(options, [&c](const std::string&) {
      return c.known ? std::optional(kStation) : std::nullopt;
    });
    for (int i = 0; i < c.writes; ++i) commands.Write(c.mac, "A", "1", "");
    std::vector<wire::OutgoingDatagram> out;
    std::vector<wire::CommandOutcome> outcomes;
    commands.Tick({std::chrono::steady_clock::now(),
                   std::chrono::floor<std::chrono::seconds>(
                       std::chrono::system_clock::now())},
                  &out, &outcomes);
    EXPECT_EQ(out.size(), c.known && c.mac == kMac ? 1u : 0u) << c.states;
    std::string states;
    for (const wire::CommandOutcome& o : outcomes)
      states +=
          std::string(wire::CommandStateName(o.state)) + ":" + o.reason + " ";
    EXPECT_EQ(states, c.states);
  }
}

// The gateway's own snapshot requests: a few under way at a time, the next
// when one ends; a station whose snapshot ended incomplete goes to the back
// of the line, one with a complete tree by its turn is passed over.
TEST(SnapshotRequests, AFewGoAtATimeTheNextWhenOneEnds) {
  wire::StationCommands::Options options;
  std::vector<std::string> macs;
  for (int i = 0; i < 5; ++i) {
    macs.push_back("02-00-00-00-00-1" + std::to_string(i));
    options.keys[macs.back()] = KeyOf(1);
  }
  wire::StationCommands commands(
      options, [](const std::string&) { return std::optional(kStation); });
  StationTable table({});
  SnapshotRequests requests({2, milliseconds(300)}, commands, table);
  const Moment start = {std::chrono::steady_clock::now(),
                        std::chrono::floor<std::chrono::seconds>(
                            std::chrono::system_clock::now())};
  // The stations asked at `ms`, in order; resends left out.
  std::set<std::pair<std::string, std::uint32_t>> sent;
  std::map<std::string, std::uint32_t> sequenceOf;
  auto asked = [&](int ms) {
    const Moment now{start.steady + milliseconds(ms),
                     start.wall + milliseconds(ms)};
    requests.Tick(now);
    std::vector<wire::OutgoingDatagram> out;
    std::vector<wire::CommandOutcome> outcomes;
    commands.Tick(now, &out, &outcomes);
    for (const wire::CommandOutcome& outcome : outcomes)
      requests.Outcome(outcome, now);
    std::string macsAsked;
    for (const wire::OutgoingDatagram& datagram : out) {
      wire::SignedDatagram command;
      wire::ParseSignedDatagram(datagram.bytes.data(), datagram.bytes.size(),
                                &command, nullptr);
      sequenceOf[wire::MacText(command.mac)] = command.sequence;
      if (sent.emplace(wire::MacText(command.mac), command.sequence).second)
        macsAsked += wire::MacText(command.mac).substr(15) + " ";
    }
    return macsAsked;
  };
  for (const std::string& mac : macs) requests.Want(mac);
  requests.Want(macs[0]);              // once in the line
  requests.Want("02-00-00-00-00-0E");  // no key: never asked
  EXPECT_EQ(asked(0), "10 11 ");
  EXPECT_EQ(asked(10), "");
  requests.SnapshotEnded(macs[0], {}, false, start);  // asked again, later
  // A station's first command waits for the clock's next eighth of a second.
  EXPECT_EQ(asked(20) + asked(125), "12 ");
  // Station 13 sent a complete snapshot of its own meanwhile.
  std::vector<Message> out;
  table.Apply({wire::kKindSnapshot, {2, 0, 0, 0, 0, 0x13}, {"A|1"}}, kStation,
              start, &out);
  table.Tick({start.steady + std::chrono::seconds(3), start.wall}, &out);
  requests.SnapshotEnded(macs[1], {}, true, start);
  EXPECT_EQ(asked(130) + asked(250), "14 ");
  EXPECT_EQ(requests.waiting(), 1u);  // 10, behind the others
  // While datagrams are lost, none is asked for. (Station 10 answers its
  // first request at last: a second may go.)
  const Bytes delivered = testing::StationReply(KeyOf(1), {2, 0, 0, 0, 0, 0x10},
                                                {}, sequenceOf[macs[0]], 2, 0);
  wire::SignedDatagram reply;
  ASSERT_TRUE(wire::ParseSignedDatagram(delivered.data(), delivered.size(),
                                        &reply, nullptr));
  commands.OnReply(reply, delivered.data(), delivered.size());
  requests.SnapshotEnded(macs[2], {}, true, start);
  table.NoteLosses({5, 0}, {start.steady + milliseconds(300), start.wall});
  EXPECT_EQ(asked(2200), "");  // within the table's settle time, 2 s
  EXPECT_EQ(asked(2400) + asked(2500), "10 ");
}

TEST(WritePayload, BytesOrAnObjectOfIdAndValue) {
  const struct {
    std::string payload, value, id;
  } cases[] = {
      {"42.5", "42.5", ""},
      {"{\"id\":\"op-7\",\"value\":\"42.5\"}", "42.5", "op-7"},
      {" { \"value\" : \"a\\\"b\\u00e9\" } ", "a\"b\xA8\xA6", ""},  // é
      {"{\"value\":\"\xE6\xB8\xA9\"}", "\xCE\xC2", ""},             // 温
      // Other JSON is a value as it stands; a value that is such an object
      // comes wrapped.
      {"{\"value\":1}", "{\"value\":1}", ""},
      {"{\"value\":\"1\",\"unit\":\"C\"}", "{\"value\":\"1\",\"unit\":\"C\"}",
       ""},
      {"{\"value\":\"{\\\"value\\\":\\\"1\\\"}\"}", "{\"value\":\"1\"}", ""},
  };
  for (const auto& c : cases) {
    std::string value, id, error;
    EXPECT_TRUE(ReadWritePayload(c.payload, &value, &id, &error)) << c.payload;
    EXPECT_EQ(value, c.value) << c.payload;
    EXPECT_EQ(id, c.id) << c.payload;
  }
  std::string value, id, error;
  EXPECT_FALSE(
      ReadWritePayload("{\"value\":\"\\ud83d\\ude00\"}", &value, &id, &error));
  // The id comes back in each result as it was written, not byte by byte.
  ASSERT_TRUE(ReadWritePayload("{\"id\":\"\\u00e9t\xC3\xA9\",\"value\":\"1\"}",
                               &value, &id, &error));
  wire::CommandOutcome outcome;
  outcome.id = id;
  EXPECT_EQ(ResultPayload(outcome).rfind("{\"id\":\"\xC3\xA9t\xC3\xA9\",", 0),
            0u)
      << ResultPayload(outcome);
}

TEST(KeyFile, LinesOfMacAndKeyWarnedWhenOthersMayReadIt) {
  testing::TempDir dir;
  const std::string path = dir.path() + "/keys";
  const std::string hex(64, 'a');
  testing::WriteFile(path, "# site keys\n\n02:00:00:00:00:0d " + hex +
                               "\r\n02-00-00-00-00-0E\t" + hex + "\n");
  ::chmod(path.c_str(), 0600);
  std::map<std::string, wire::StationKey> keys;
  std::string warning, error;
  ASSERT_TRUE(wire::ReadKeyFile(path, &keys, &warning, &error)) << error;
  EXPECT_EQ(warning, "");
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys.at(kMac)[31], 0xAA);
  ::chmod(path.c_str(), 0640);
  ASSERT_TRUE(wire::ReadKeyFile(path, &keys, &warning, &error));
  EXPECT_NE(warning.find("read by others"), std::string::npos);
  testing::WriteFile(path, "02-00-00-00-00-0D " + hex + "\n02-00-00-00-00-0E " +
                               hex.substr(1) + "\n");
  EXPECT_FALSE(wire::ReadKeyFile(path, &keys, &warning, &error));
  EXPECT_NE(error.find("line 2"), std::string::npos);
  EXPECT_EQ(error.find(hex.substr(1)), std::string::npos);
}

}  // namespace
}  // namespace pelmora::gateway

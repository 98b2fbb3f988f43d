// Signed commands from the gateway's side, with time given by the test: the
// test plays the station, signing its replies with OpenSSL directly and
// reading the commands with the server's wire reader.
#include <gtest/gtest.h>
#include <openssl/hmac.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <set>

#include "command_topics.h"
#include "snapshot_requests.h"
#include "station_reply.h"
#include "topic_tree.h"
#include "support/service_fixture.h"
#include "station_commands.h"

namespace pelmora::gateway {
namespace {

using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;

const std::string kMac = "02-00-00-00-00-0D";
constexpr wire::Endpoint kStation{0x7F000001, 40000};
// The station's address, another port: where a forger on its machine, or
// the station after its link restarted, sends from.
constexpr wire::Endpoint kOtherPort{0x7F000001, 40001};
constexpr wire::Endpoint kElsewhere{0x7F00004D, 40000};  // 127.0.0.77

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

// A reply of station 0D; `answers`: the command's signature's first 16
// bytes, none in an opening reply.
Bytes Reply(const wire::StationKey& key, const wire::Nonce& nonce,
            std::uint32_t sequence, std::uint8_t state, std::uint8_t reason,
            const wire::Digest& answers = {}, std::uint32_t clock = 0,
            std::uint32_t latest = 0) {
  return testing::StationReply(key, {2, 0, 0, 0, 0, 0x0D}, nonce, sequence,
                               state, reason, answers, clock, latest);
}

Moment On(const Moment& start, int ms) {
  return {start.steady + milliseconds(ms), start.wall + milliseconds(ms)};
}

// A command as sent: where to, what it says, what answers it.
struct Sent {
  wire::Endpoint to;
  wire::SignedDatagram command;
  wire::Digest digest{};
};

class StationCommandsTest : public ::testing::Test {
 protected:
  StationCommandsTest() { Restart(); }
  // A new server, knowing nothing of the one before but the sequences it
  // kept in the state folder.
  void Restart(milliseconds validity = milliseconds(5000)) {
    wire::StationCommands::Options options;
    options.keys[kMac] = key_;
    options.firstPause = milliseconds(250);
    options.longestPause = milliseconds(4000);
    options.mostSends = 8;
    options.validity = validity;
    options.sequenceFile = dir_.path() + "/sequences";
    commands_ = std::make_unique<wire::StationCommands>(
        options, [this](const std::string& mac) {
          return mac == kMac ? heard_ : std::nullopt;
        });
    std::string error;
    EXPECT_TRUE(commands_->Load(&error)) << error;
  }

  // The commands sent at `ms` after the start, read back; each checked to
  // be signed under a signature that holds.
  std::vector<Sent> Sends(int ms) {
    nowMs_ = ms;
    std::vector<wire::OutgoingDatagram> out;
    commands_->Tick(On(start_, ms), &out, &outcomes_);
    std::vector<Sent> read;
    for (const wire::OutgoingDatagram& datagram : out) {
      const Bytes& b = datagram.bytes;
      EXPECT_EQ(Hmac(key_, Bytes(b.begin(), b.end() - 32)),
                Bytes(b.end() - 32, b.end()));
      Sent sent{datagram.to, {}, {}};
      EXPECT_TRUE(wire::ParseSignedDatagram(b.data(), b.size(), &sent.command,
                                            nullptr));
      std::copy(b.end() - 32, b.end() - 16, sent.digest.begin());
      last_ = sent.digest;
      read.push_back(sent);
    }
    return read;
  }
  // The same, each checked to go to the station where it was heard.
  std::vector<wire::SignedDatagram> At(int ms) {
    std::vector<wire::SignedDatagram> read;
    for (const Sent& sent : Sends(ms)) {
      EXPECT_EQ(wire::EndpointText(sent.to), wire::EndpointText(kStation));
      read.push_back(sent.command);
    }
    return read;
  }
  // A reply, as it arrives now (the time of the last sends).
  wire::ReplyVerdict Answer(const Bytes& bytes,
                            const wire::Endpoint& from = kStation) {
    wire::SignedDatagram reply;
    EXPECT_TRUE(
        wire::ParseSignedDatagram(bytes.data(), bytes.size(), &reply, nullptr));
    return commands_->OnReply(reply, bytes.data(), bytes.size(), from,
                              start_.steady + milliseconds(nowMs_));
  }
  std::string States() {
    std::string states;
    for (const wire::CommandOutcome& o : outcomes_)
      states += o.id + ":" + wire::CommandStateName(o.state) +
                (o.reason.empty() ? "" : "(" + o.reason + ")") + " ";
    return states;
  }

  testing::TempDir dir_;
  const wire::StationKey key_ = KeyOf(1);
  const wire::Nonce nonce_ = {9, 8, 7, 6, 5, 4, 3, 2};
  // On a whole second: a first sequence need not wait for its slot.
  Moment start_ = {std::chrono::steady_clock::now(),
                   std::chrono::floor<std::chrono::seconds>(
                       std::chrono::system_clock::now())};
  // Where the station table last heard the station from.
  std::optional<wire::Endpoint> heard_ = kStation;
  std::unique_ptr<wire::StationCommands> commands_;
  std::vector<wire::CommandOutcome> outcomes_;
  // What answers the last command sent, and when that was.
  wire::Digest last_{};
  int nowMs_ = 0;
};

TEST_F(StationCommandsTest,
       ARefusalTeachesTheSessionAndTheWriteGoesAgainAtOnce) {
  commands_->Write(kMac, "SP1", "42.5", "op-1");
  auto sent = At(0);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].nonce, wire::Nonce{});
  EXPECT_EQ(sent[0].name + "=" + sent[0].value, "SP1=42.5");
  const std::uint32_t sequence = sent[0].sequence;
  EXPECT_EQ(Answer(Reply(key_, nonce_, sequence, 3, 5, last_)),
            wire::ReplyVerdict::kTaken);
  sent = At(1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].nonce, nonce_);
  EXPECT_EQ(sent[0].sequence, sequence);
  // A reply under another key changes nothing.
  EXPECT_EQ(Answer(Reply(KeyOf(2), nonce_, sequence, 2, 0, last_)),
            wire::ReplyVerdict::kBadSignature);
  Answer(Reply(key_, nonce_, sequence, 1, 0, last_));
  Answer(Reply(key_, nonce_, sequence, 1, 0, last_));  // a resend's reply
  EXPECT_TRUE(At(2).empty());
  EXPECT_EQ(States(), "op-1:queued ");
  // A new session (the host's link restarted) before the delivery: its
  // opening reply is a hint, and the write goes again at once, in the
  // session it knows, byte for byte; the refusal that answers it teaches
  // the new one.
  const wire::Digest resent = last_;
  const wire::Nonce next = {1, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_EQ(Answer(Reply(key_, next, 0, 0, 0)),
            wire::ReplyVerdict::kNotAnswering);
  sent = At(3);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].nonce, nonce_);
  EXPECT_EQ(last_, resent);
  Answer(Reply(key_, next, sequence, 3, 5, last_));
  sent = At(4);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].nonce, next);
  Answer(Reply(key_, next, sequence, 2, 0, last_));
  EXPECT_TRUE(At(5000).empty());
  EXPECT_EQ(States(), "op-1:queued op-1:delivered ");
  EXPECT_EQ(outcomes_.back().name, "SP1");
  EXPECT_EQ(outcomes_.back().time, start_.wall + milliseconds(5000));
}

// Unanswered, a command goes again byte for byte, its pauses doubling; it
// is told unanswered once the last send's pause is over and no copy of it
// can act any more.
TEST_F(StationCommandsTest, UnansweredSendsDoubleTheirPausesThenGiveUp) {
  for (const int validity : {5000, 30000}) {
    Restart(milliseconds(validity));
    outcomes_.clear();
    start_.steady += std::chrono::seconds(60);
    commands_->Write(kMac, "SP1", "1", "op-1");
    std::vector<int> sends;
    std::set<wire::Digest> copies;
    for (int ms = 0; ms <= 40000; ms += 50) {
      for (const Sent& s : Sends(ms)) {
        sends.push_back(ms);
        copies.insert(s.digest);
      }
    }
    EXPECT_EQ(sends,
              (std::vector<int>{0, 250, 750, 1750, 3750, 7750, 11750, 15750}))
        << validity;
    EXPECT_EQ(copies.size(), 1u) << validity;
    ASSERT_EQ(outcomes_.size(), 1u) << validity;
    EXPECT_EQ(outcomes_[0].state, wire::CommandState::kUnanswered);
    EXPECT_EQ(outcomes_[0].time,
              start_.wall + milliseconds(std::max(19750, validity)));
  }
}

// What the station signed but did not send in answer to the command under
// way, from wherever it comes and however often: no send is spent, no
// session is learned, nothing ends. (An opening reply from the station's
// address is a hint, and the next send goes at once, uncounted; that one
// also goes where the hint came from, once per counted send at most.)
TEST_F(StationCommandsTest, RepliesThatAnswerNothingCostNoSendAndTeachNothing) {
  const wire::Nonce old = {6, 6, 6, 6, 6, 6, 6, 6};
  const wire::Digest other = {1, 2, 3};
  const struct Case {
    const char* what;
    std::function<Bytes(std::uint32_t sequence, const wire::Digest& answers)>
        reply;
    wire::Endpoint from;
    int copies;
    wire::ReplyVerdict verdict;
    bool hint;  // one send at once, uncounted
  } cases[] = {
      {"an old session's opening reply, replayed from the station's address",
       [&](std::uint32_t, const wire::Digest&) {
         return Reply(key_, old, 0, 0, 0);
       },
       kOtherPort, 2000, wire::ReplyVerdict::kNotAnswering, true},
      {"the same from elsewhere",
       [&](std::uint32_t, const wire::Digest&) {
         return Reply(key_, old, 0, 0, 0);
       },
       kElsewhere, 2000, wire::ReplyVerdict::kNotAnswering, false},
      {"an old session's refusal of the same sequence, another command",
       [&](std::uint32_t s, const wire::Digest&) {
         return Reply(key_, old, s, 3, 5, other);
       },
       kStation, 5, wire::ReplyVerdict::kNotAnswering, false},
      {"a delivery of the same sequence, another command",
       [&](std::uint32_t s, const wire::Digest&) {
         return Reply(key_, nonce_, s, 2, 0, other);
       },
       kStation, 5, wire::ReplyVerdict::kNotAnswering, false},
      {"an old-sequence refusal of another command",
       [&](std::uint32_t s, const wire::Digest&) {
         return Reply(key_, nonce_, s, 3, 6, other, 0, s + 100);
       },
       kStation, 5, wire::ReplyVerdict::kNotAnswering, false},
      {"an answer from elsewhere",
       [&](std::uint32_t s, const wire::Digest& answers) {
         return Reply(key_, old, s, 3, 5, answers);
       },
       kElsewhere, 5, wire::ReplyVerdict::kWrongAddress, false},
      {"an answer from another port of the station's address",
       [&](std::uint32_t s, const wire::Digest& answers) {
         return Reply(key_, old, s, 2, 0, answers);
       },
       kOtherPort, 5, wire::ReplyVerdict::kWrongAddress, false},
  };
  for (const Case& c : cases) {
    Restart();
    outcomes_.clear();
    start_.steady += std::chrono::seconds(60);
    commands_->Write(kMac, "SP1", "1", "op-1");
    const auto first = At(0);
    ASSERT_EQ(first.size(), 1u) << c.what;
    const std::uint32_t sequence = first[0].sequence;
    Answer(Reply(key_, nonce_, sequence, 3, 5, last_));  // the session
    std::vector<std::string> sends;
    std::set<wire::Digest> copies;
    for (int ms = 1; ms <= 30000; ms += 50) {
      if (ms == 101) {
        for (int i = 0; i < c.copies; ++i)
          EXPECT_EQ(Answer(c.reply(sequence, last_), c.from), c.verdict)
              << c.what;
      }
      for (const Sent& sent : Sends(ms)) {
        EXPECT_EQ(sent.command.nonce, nonce_) << c.what;
        copies.insert(sent.digest);
        sends.push_back(std::to_string(ms) + ">" +
                        std::to_string(sent.to.port));
      }
    }
    // Eight counted sends (the first at 0) to where the station answered,
    // and with a hint one more at once, each then also to where the hint
    // came from.
    std::vector<std::string> expected;
    for (int ms : {1, 101, 251, 751, 1751, 3751, 7751, 11751}) {
      if (ms == 101 && !c.hint) continue;
      expected.push_back(std::to_string(ms) + ">40000");
      if (ms != 1 && c.hint) expected.push_back(std::to_string(ms) + ">40001");
    }
    EXPECT_EQ(sends, expected) << c.what;
    EXPECT_EQ(copies.size(), 1u) << c.what;
    EXPECT_EQ(States(), "op-1:unanswered(no reply after 8 sends) ") << c.what;
  }
}

// Once the station has answered from where it sends, its unsigned data
// datagrams from elsewhere (another port of its address) move nothing: the
// commands go on to where it answered. Only where they go unanswered does
// the next one go where the table heard it last.
TEST_F(StationCommandsTest, DataFromANewPortDoesNotMoveWhereCommandsGo) {
  commands_->Write(kMac, "A", "1", "a");
  auto sent = At(0);
  ASSERT_EQ(sent.size(), 1u);
  Answer(Reply(key_, nonce_, sent[0].sequence, 2, 0, last_));
  heard_ = kOtherPort;
  commands_->Write(kMac, "B", "2", "b");
  std::vector<std::string> to;
  for (int ms = 1; ms <= 25000; ms += 50)
    for (const Sent& s : Sends(ms)) to.push_back(wire::EndpointText(s.to));
  EXPECT_EQ(to, std::vector<std::string>(8, "127.0.0.1:40000"));
  commands_->Write(kMac, "C", "3", "c");
  const auto next = Sends(25001);
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(wire::EndpointText(next[0].to), "127.0.0.1:40001");
  EXPECT_EQ(States(), "a:delivered b:unanswered(no reply after 8 sends) ");
}

TEST_F(StationCommandsTest, WritesGoOneAtATimeInOrderUnderGrowingSequences) {
  commands_->Write(kMac, "A", "1", "a");
  commands_->Write(kMac, "B", "2", "b");
  auto sent = At(0);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].name, "A");
  const std::uint32_t first = sent[0].sequence;
  const wire::Digest a = last_;
  Answer(Reply(key_, nonce_, first, 1, 0, a));
  EXPECT_TRUE(At(100).empty());
  // A station refusal other than for the session ends the command.
  Answer(Reply(key_, nonce_, first, 3, 1, a));
  sent = At(101);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].name, "B");
  EXPECT_GT(sent[0].sequence, first);
  // A late reply to the earlier command settles nothing.
  EXPECT_EQ(Answer(Reply(key_, nonce_, first, 2, 0, a)),
            wire::ReplyVerdict::kNotAnswering);
  EXPECT_EQ(States(), "a:queued a:refused(no callback) ");
  // A server that stops tells what became of each.
  commands_->Write(kMac, "C", "3", "c");
  outcomes_.clear();
  commands_->Stop(start_, &outcomes_);
  EXPECT_EQ(States(),
            "b:unanswered(the server stopped before a reply) "
            "c:refused(the server stopped) ");
}

// A command's not-after is the station's clock as its last answer told it,
// plus the time since, plus the validity, wrapping with the clock. Refused
// as out of reach, it goes again under a new sequence on the clock the
// refusal carries; refused as old, above the station's latest.
TEST_F(StationCommandsTest, TheNotAfterFollowsTheStationsClockAndRefusalsMove) {
  commands_->Write(kMac, "SP1", "1", "op-1");
  auto sent = At(0);
  ASSERT_EQ(sent.size(), 1u);
  const std::uint32_t first = sent[0].sequence;
  Answer(Reply(key_, nonce_, first, 3, 5, last_, 0xFFFFFFFF - 999));
  sent = At(2);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].sequence, first);
  EXPECT_EQ(sent[0].notAfter, 4002u);  // 2^32 - 1000 + 2 + 5000, wrapped
  Answer(Reply(key_, nonce_, first, 3, 0x0A, last_, 90000, first));
  sent = At(3);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].sequence, first + 1);
  EXPECT_EQ(sent[0].notAfter, 95001u);
  Answer(Reply(key_, nonce_, first + 1, 3, 6, last_, 90500, first + 700));
  sent = At(503);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].sequence, first + 701);
  EXPECT_EQ(sent[0].notAfter, 96000u);  // 500 ms after the answer came
  Answer(Reply(key_, nonce_, first + 701, 2, 0, last_, 90600, first + 701));
  EXPECT_TRUE(At(504).empty());
  EXPECT_EQ(States(), "op-1:delivered ");
}

// A command told unanswered may be held somewhere: as soon as the station
// replies again, a fence goes at a higher sequence in the session last
// learned, and once an answer shows the session past it, no more. Idle, a
// session is learned only from an answer (here, a late one to that
// command): a replayed opening reply teaches nothing.
TEST_F(StationCommandsTest, AnUnansweredCommandIsFencedWhenTheStationReplies) {
  const wire::Nonce replayed = {7, 7, 7, 7, 7, 7, 7, 7};
  const wire::Nonce late = {5, 5, 5, 5, 5, 5, 5, 5};
  const struct Case {
    const char* what;
    std::function<Bytes(std::uint32_t withheld, const wire::Digest& digest)>
        reply;
    bool fenced;
    wire::Nonce next;  // the session the next command goes in
  } cases[] = {
      {"an old opening reply, replayed",
       [&](std::uint32_t, const wire::Digest&) {
         return Reply(key_, replayed, 0, 0, 0);
       },
       true, nonce_},
      {"its own rate-limited answer, late: the session is still before it",
       [&](std::uint32_t withheld, const wire::Digest& digest) {
         return Reply(key_, nonce_, withheld, 3, 7, digest, 9000, withheld - 1);
       },
       true, nonce_},
      {"its own refusal, late, from a new session: nothing held can act",
       [&](std::uint32_t withheld, const wire::Digest& digest) {
         return Reply(key_, late, withheld, 3, 5, digest, 50);
       },
       false, late},
      {"its own delivery, late: it acted, a copy would not again",
       [&](std::uint32_t withheld, const wire::Digest& digest) {
         return Reply(key_, nonce_, withheld, 2, 0, digest, 9000, withheld);
       },
       false, nonce_},
  };
  for (const Case& c : cases) {
    Restart();
    outcomes_.clear();
    start_.steady += std::chrono::seconds(60);
    commands_->Write(kMac, "A", "1", "a");
    auto sent = At(0);
    ASSERT_EQ(sent.size(), 1u) << c.what;
    const std::uint32_t withheld = sent[0].sequence;
    Answer(Reply(key_, nonce_, withheld, 3, 5, last_, 1000));
    At(1);  // in the session learned
    const wire::Digest digest = last_;
    for (int ms = 2; ms <= 20000; ms += 50) Sends(ms);
    EXPECT_TRUE(Sends(20001).empty()) << c.what;  // quiet until it replies
    Answer(c.reply(withheld, digest));
    sent = At(20002);
    if (c.fenced) {
      ASSERT_EQ(sent.size(), 1u) << c.what;
      EXPECT_EQ(sent[0].command, wire::kCommandFence) << c.what;
      EXPECT_EQ(sent[0].nonce, c.next) << c.what;
      EXPECT_GT(sent[0].sequence, withheld) << c.what;
      Answer(Reply(key_, nonce_, sent[0].sequence, 2, 0, last_, 31000,
                   sent[0].sequence));
    } else {
      EXPECT_TRUE(sent.empty()) << c.what;
    }
    Answer(Reply(key_, replayed, 0, 0, 0));  // fenced: nothing more
    commands_->Write(kMac, "B", "2", "b");
    sent = At(20003);
    ASSERT_EQ(sent.size(), 1u) << c.what;
    EXPECT_EQ(sent[0].command, wire::kCommandWrite) << c.what;
    EXPECT_EQ(sent[0].nonce, c.next) << c.what;
    EXPECT_EQ(States(), "a:unanswered(no reply after 8 sends) ") << c.what;
  }
}

// A restarted server continues above the sequences its predecessor kept,
// even with a clock that went back meanwhile; one without them is above
// it by the clock alone.
TEST_F(StationCommandsTest, ARestartContinuesAboveTheSequenceKept) {
  commands_->Write(kMac, "A", "1", "a");
  EXPECT_TRUE(At(10).empty());  // until the next eighth of a second
  auto sent = At(125);
  ASSERT_EQ(sent.size(), 1u);
  const std::uint32_t before = sent[0].sequence;
  Restart();
  start_.wall -= std::chrono::seconds(60);
  commands_->Write(kMac, "A", "2", "a");
  sent = At(250);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_GT(sent[0].sequence, before);
  // Without the file, the clock's slot since the first command.
  std::filesystem::remove(dir_.path() + "/sequences");
  start_.wall += std::chrono::seconds(60);
  Restart();
  commands_->Write(kMac, "A", "3", "a");
  EXPECT_TRUE(At(260).empty());
  sent = At(375);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_GT(sent[0].sequence, before);
  // A file that is not the server's stops it, by line.
  testing::WriteFile(dir_.path() + "/sequences",
                     "02-00-00-00-00-0D 7\n02-00-00-00-00-0D x\n");
  wire::SequenceFile file(dir_.path() + "/sequences");
  std::string error;
  EXPECT_FALSE(file.Load(&error));
  EXPECT_NE(error.find("line 2"), std::string::npos) << error;
}

// Where the sequences are kept unless told: systemd's folder, else the
// user's state folder (an absolute one only), else the home's.
TEST(StateFolder, SystemdsThenTheUsersThenTheHomes) {
  const struct {
    const char *state, *xdg, *home, *folder;
  } cases[] = {
      {"/var/lib/gw:/var/lib/other", "/x", "/home/u", "/var/lib/gw"},
      {nullptr, "/x", "/home/u", "/x/pelmora"},
      {nullptr, "x", "/home/u", "/home/u/.local/state/pelmora"},
      {"", nullptr, "/home/u", "/home/u/.local/state/pelmora"},
      {nullptr, nullptr, nullptr, ""},
  };
  // The tests after this one in the process get their own back.
  std::map<std::string, std::optional<std::string>> before;
  for (const char* name : {"STATE_DIRECTORY", "XDG_STATE_HOME", "HOME"}) {
    const char* value = std::getenv(name);
    before[name] = value ? std::optional<std::string>(value) : std::nullopt;
  }
  for (const auto& c : cases) {
    for (const auto& [name, value] : {std::pair{"STATE_DIRECTORY", c.state},
                                      {"XDG_STATE_HOME", c.xdg},
                                      {"HOME", c.home}}) {
      if (value == nullptr) {
        ::unsetenv(name);
      } else {
        ::setenv(name, value, 1);
      }
    }
    std::string error;
    EXPECT_EQ(wire::DefaultStateDirectory(&error), c.folder) << c.folder;
    EXPECT_EQ(error.empty(), *c.folder != '\0') << error;
  }
  for (const auto& [name, value] : before) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
}

TEST(StationCommandsRefusal, NothingIsSentWithoutKeyAddressRoomOrClock) {
  const auto now = std::chrono::floor<std::chrono::seconds>(
      std::chrono::system_clock::now());
  const auto unset = std::chrono::system_clock::time_point(
      std::chrono::seconds(1767225599));  // 2025-12-31T23:59:59Z
  struct Case {
    std::string mac;
    bool known;
    int writes;
    std::string name, value;
    std::chrono::system_clock::time_point wall;
    std::string states;
  } cases[] = {
      {"02-00-00-00-00-0E", true, 1, "A", "1", now,
       "refused:no key for this station "},
      {kMac, false, 1, "A", "1", now,
       "refused:station not heard from: no address to send to "},
      {kMac, true, 3, "A", "1", now,
       "refused:too many commands waiting for this station "},
      {kMac, true, 1, std::string("SP1\0EVIL", 8), "1", now,
       "refused:the name or value holds a NUL byte "},
      {kMac, true, 1, "SP1", std::string("1\0", 2), now,
       "refused:the name or value holds a NUL byte "},
      {kMac, true, 1, "A", "1", unset,
       "refused:the clock reads before 2026-01-01 (UTC): set it; the "
       "sequences are taken from it "},
  };
  for (const Case& c : cases) {
    wire::StationCommands::Options options;
    options.keys[kMac] = KeyOf(1);
    options.mostWaiting = 2;
    wire::StationCommands commands(options, [&c](const std::string&) {
      return c.known ? std::optional(kStation) : std::nullopt;
    });
    for (int i = 0; i < c.writes; ++i)
      commands.Write(c.mac, c.name, c.value, "");
    std::vector<wire::OutgoingDatagram> out;
    std::vector<wire::CommandOutcome> outcomes;
    commands.Tick({std::chrono::steady_clock::now(), c.wall}, &out, &outcomes);
    EXPECT_EQ(out.size(),
              c.states.find("too many") != std::string::npos ? 1u : 0u)
        << c.states;
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
  std::map<std::string, wire::Digest> digestOf;
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
      digestOf[wire::MacText(command.mac)] =
          wire::DigestOf(datagram.bytes.data(), datagram.bytes.size());
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
  table.Apply({wire::kKindSnapshot, {2, 0, 0, 0, 0, 0x13}, {"A|1"}}, kStation,
              start);
  table.Tick({start.steady + std::chrono::seconds(3), start.wall});
  requests.SnapshotEnded(macs[1], {}, true, start);
  EXPECT_EQ(asked(130) + asked(250), "14 ");
  EXPECT_EQ(requests.waiting(), 1u);  // 10, behind the others
  // While datagrams are lost, none is asked for. (Station 10 answers its
  // first request at last: a second may go.)
  const Bytes delivered =
      testing::StationReply(KeyOf(1), {2, 0, 0, 0, 0, 0x10}, {},
                            sequenceOf[macs[0]], 2, 0, digestOf[macs[0]]);
  wire::SignedDatagram reply;
  ASSERT_TRUE(wire::ParseSignedDatagram(delivered.data(), delivered.size(),
                                        &reply, nullptr));
  commands.OnReply(reply, delivered.data(), delivered.size(), kStation,
                   start.steady);
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
      {"{\"unit\":\"C\"}", "{\"unit\":\"C\"}", ""},
      {"[{\"value\":1}]", "[{\"value\":1}]", ""},
      {"{\"value\":\"{\\\"value\\\":\\\"1\\\"}\"}", "{\"value\":\"1\"}", ""},
      {std::string(1023, '7'), std::string(1023, '7'), ""},
      {"{\"value\":\"\"}", "", ""},
  };
  for (const auto& c : cases) {
    std::string value, id, error;
    EXPECT_TRUE(ReadWritePayload(c.payload, &value, &id, &error)) << c.payload;
    EXPECT_EQ(value, c.value) << c.payload;
    EXPECT_EQ(id, c.id) << c.payload;
  }
  // What would reach the host as other than meant is refused.
  const struct {
    std::string payload, error;
  } refused[] = {
      {"{\"value\":\"\\ud83d\\ude00\"}",
       "the value holds a character GBK lacks"},
      {"{\"value\":\"1\",\"unit\":\"C\"}", "ambiguous"},
      {"{\"id\":\"a\",\"value\":\"1\",\"id2\":\"b\"}", "ambiguous"},
      {"{\"value\":42.5}", "ambiguous"},
      {"{\"id\":7,\"value\":\"1\"}", "ambiguous"},
      {"{\"value\":{\"a\":[1,true,null]}}", "ambiguous"},
      {std::string(1024, '7'), "a payload of 1024 bytes, over 1,023: not read"},
      {"", "an empty payload is no write"},
  };
  for (const auto& r : refused) {
    std::string value, id, error;
    EXPECT_FALSE(ReadWritePayload(r.payload, &value, &id, &error))
        << r.payload.substr(0, 40);
    EXPECT_EQ(error.rfind(r.error, 0), 0u)
        << r.payload.substr(0, 40) << ": " << error;
  }
  // The id comes back in each result as it was written, not byte by byte.
  std::string value, id, error;
  ASSERT_TRUE(ReadWritePayload("{\"id\":\"\\u00e9t\xC3\xA9\",\"value\":\"1\"}",
                               &value, &id, &error));
  wire::CommandOutcome outcome;
  outcome.id = id;
  EXPECT_EQ(ResultPayload(outcome).rfind("{\"id\":\"\xC3\xA9t\xC3\xA9\",", 0),
            0u)
      << ResultPayload(outcome);
  // A write topic names its station as the gateway writes the MAC, and its
  // point as it writes the level: any other spelling is no write.
  const struct {
    const char* topic;
    const char* write;
  } topics[] = {
      {"pelmora/02-00-00-00-00-0D/commands/write/SP1", "02-00-00-00-00-0D SP1"},
      {"pelmora/02-00-00-00-00-0d/commands/write/SP1", ""},
      {"pelmora/02:00:00:00:00:0D/commands/write/SP1", ""},
      {"pelmora/02-00-00-00-00-0D/commands/write/%2f", ""},
      {"pelmora/02-00-00-00-00-0D/commands/write/", "02-00-00-00-00-0D "},
  };
  for (const auto& t : topics) {
    std::string mac, name;
    const std::string write =
        WriteOfTopic(t.topic, &mac, &name) ? mac + " " + name : "";
    EXPECT_EQ(write, t.write) << t.topic;
  }
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

// Signed commands from the server: the key from Pelmora.ini, what a
// datagram must be to reach the host's write callback, and the replies.
// Datagrams are built here byte by byte, apart from the plug-in's encoder,
// and signed with the platform's keyed hash, itself checked against a
// published test vector.
#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

#include "config/log_messages.h"
#include "pelmora/pelmora.h"
#include "support/service_fixture.h"

namespace pelmora::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Key = std::array<std::uint8_t, 32>;

constexpr char kKeyText[] =
    "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

Key TestKey(std::uint8_t first = 0) {
  Key key;
  for (int i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(first + i);
  return key;
}

// The platform's own keyed hash, apart from the one the tests count.
Bytes Hmac(const Key& key, const Bytes& data) {
  Bytes mac(32);
  EXPECT_TRUE(Env::Default()->HmacSha256(key.data(), key.size(), data.data(),
                                         data.size(), mac.data()));
  return mac;
}

void PutU16(Bytes* out, std::size_t n) {
  out->push_back(static_cast<std::uint8_t>(n));
  out->push_back(static_cast<std::uint8_t>(n >> 8));
}

std::string WriteBody(const std::string& name, const std::string& value) {
  Bytes body;
  PutU16(&body, name.size());
  body.insert(body.end(), name.begin(), name.end());
  PutU16(&body, value.size());
  body.insert(body.end(), value.begin(), value.end());
  return std::string(body.begin(), body.end());
}

// A command as a server would build it; the fields a case spoils.
struct Draft {
  Bytes nonce;
  std::uint32_t sequence = 1;
  std::uint32_t notAfter = 30000;
  std::uint8_t command = 0x01;
  std::string body = WriteBody("SP1", "42.5");
  std::uint8_t kind = 0x03;
  std::uint8_t macLast = 0x55;
  int payloadLengthError = 0;
  Key key = TestKey();
};

Bytes Build(const Draft& d) {
  Bytes bytes = {0xFF,   0xFF, 0xFF, 0xFF, 0x02, 0x00,     0x00, 0x01,
                 d.kind, 0xFF, 0xFF, 0xFF, 0,    0,        0,    0,
                 0x00,   0x11, 0x22, 0x33, 0x44, d.macLast};
  bytes.insert(bytes.end(), 10, 0xFF);
  bytes.insert(bytes.end(), d.nonce.begin(), d.nonce.end());
  for (const std::uint32_t field : {d.sequence, d.notAfter})
    for (int i = 0; i < 4; ++i)
      bytes.push_back(static_cast<std::uint8_t>(field >> (8 * i)));
  bytes.push_back(d.command);
  bytes.insert(bytes.end(), d.body.begin(), d.body.end());
  const std::uint32_t payload =
      static_cast<std::uint32_t>(bytes.size() + 32 - 32 + d.payloadLengthError);
  for (int i = 0; i < 4; ++i)
    bytes[12 + i] = static_cast<std::uint8_t>(payload >> (8 * i));
  const Bytes mac = Hmac(d.key, bytes);
  bytes.insert(bytes.end(), mac.begin(), mac.end());
  return bytes;
}

std::uint32_t U32At(const Bytes& bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         std::uint32_t(bytes[at + 3]) << 24;
}

// A reply as a server reads it, after checking its layout, signature and
// nonce: "state/reason seq N latest L", and " answers other" unless it
// answers `command` (the opening reply: unless it answers nothing).
std::string ReadReply(const Bytes& reply, const Bytes& nonce,
                      const Bytes& command = {}) {
  if (reply.size() != 102) return "length " + std::to_string(reply.size());
  const Bytes head(reply.begin(), reply.begin() + 70);
  if (Hmac(TestKey(), head) != Bytes(reply.begin() + 70, reply.end()))
    return "bad signature";
  if (reply[8] != 0x04 || reply[12] != 70 || reply[21] != 0x55)
    return "bad header";
  if (Bytes(reply.begin() + 32, reply.begin() + 40) != nonce)
    return "other nonce";
  const Bytes answers(reply.begin() + 46, reply.begin() + 62);
  const Bytes answered = command.empty()
                             ? Bytes(16, 0)
                             : Bytes(command.end() - 32, command.end() - 16);
  return std::to_string(reply[44]) + "/" + std::to_string(reply[45]) + " seq " +
         std::to_string(U32At(reply, 40)) + " latest " +
         std::to_string(U32At(reply, 66)) +
         (answers == answered ? "" : " answers other");
}

void PELMORA_STDCALL IgnoreWrite(const char*, const char*) {}

// What the host's callback got, for the test through the running link.
std::mutex writesLock;
std::vector<std::string> writesGot;
void PELMORA_STDCALL RecordWrite(const char* name, const char* value) {
  std::lock_guard<std::mutex> hold(writesLock);
  writesGot.push_back(std::string(name) + "=" + value);
}

class CommandTest : public ServiceTest {
 protected:
  // The service configured from a Pelmora.ini holding `keyLine` in
  // section COMMAND.
  LinkService& Configured(const std::string& keyLine) {
    WriteFile(ConfigPath(),
              "[SERVERSET]\r\nMAC=00:11:22:33:44:55\r\n"
              "[COMMAND]\r\n" +
                  keyLine + "\r\n");
    Service().Configure();
    return Service();
  }

  // Opens a session and returns its nonce, read from its first reply.
  Bytes OpenSession() {
    EXPECT_TRUE(Service().commands().OpenSession());
    const std::vector<ReplyBytes> replies = Service().commands().TakeReplies();
    EXPECT_EQ(replies.size(), 1u);
    if (replies.empty()) return {};
    const Bytes opening(replies[0].begin(), replies[0].end());
    Bytes nonce(opening.begin() + 32, opening.begin() + 40);
    EXPECT_EQ(ReadReply(opening, nonce), "0/0 seq 0 latest 0");
    EXPECT_EQ(U32At(opening, 62), 0u) << "the session clock starts at 0";
    return nonce;
  }

  // Hands `bytes` to the channel; the replies as ReadReply shows them.
  std::vector<std::string> Send(const Bytes& bytes, const Bytes& nonce) {
    Service().commands().Handle(bytes.data(), bytes.size());
    std::vector<std::string> replies;
    for (const ReplyBytes& r : Service().commands().TakeReplies())
      replies.push_back(ReadReply(Bytes(r.begin(), r.end()), nonce, bytes));
    return replies;
  }

  // The log's lines about commands, without those of the link.
  std::vector<std::string> CommandLines() {
    std::vector<std::string> lines;
    for (std::string& line : Log())
      if (line.rfind(kRemoteCommand, 0) == 0) lines.push_back(line);
    return lines;
  }
  // 远程命令: every audit line begins with it.
  const std::string kRemoteCommand = "\xD4\xB6\xB3\xCC\xC3\xFC\xC1\xEE";
};

TEST_F(CommandTest, PlatformHmacMatchesThePublishedVector) {
  // RFC 4231, test case 2.
  const std::string key = "Jefe", data = "what do ya want for nothing?";
  std::uint8_t mac[32];
  ASSERT_TRUE(env_.HmacSha256(
      reinterpret_cast<const std::uint8_t*>(key.data()), key.size(),
      reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), mac));
  const std::uint8_t expected[32] = {
      0x5b, 0xdc, 0xc1, 0x46, 0xbf, 0x60, 0x75, 0x4e, 0x6a, 0x04, 0x24,
      0x26, 0x08, 0x95, 0x75, 0xc7, 0x5a, 0x00, 0x3f, 0x08, 0x9d, 0x27,
      0x39, 0x83, 0x9d, 0xec, 0x58, 0xb9, 0x64, 0xec, 0x38, 0x43};
  EXPECT_EQ(0, std::memcmp(mac, expected, 32));
}

TEST_F(CommandTest, KeyTurnsCommandsOnOnlyWhenWellFormed) {
  struct Case {
    std::string line;
    bool enabled;
    bool logged;  // the malformed key's line
  };
  const Case cases[] = {
      {"", false, false},
      {std::string("KEY=") + kKeyText, true, false},
      {std::string("KEY= ") + kKeyText + " ", true, false},
      {"KEY=000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
       true, false},
      {"KEY=0A1B", false, true},
      {std::string("KEY=") + kKeyText + "00", false, true},
      {std::string("KEY=") + std::string(kKeyText).replace(10, 1, "g"), false,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    std::remove(LogPath().c_str());
    EXPECT_EQ(Configured(c.line).commands().enabled(), c.enabled);
    const std::vector<std::string> logged =
        OnlyLines(Log(), {messages::kCommandKeyMalformed});
    EXPECT_EQ(logged.size(), c.logged ? 1u : 0u);
  }
}

TEST_F(CommandTest, OnlyASignedCurrentNewerCommandReachesTheQueue) {
  Configured(std::string("KEY=") + kKeyText);
  Service().writeQueue().SetCallback(IgnoreWrite);
  const Bytes nonce = OpenSession();
  const auto with = [&](std::uint32_t sequence, auto change) {
    Draft d;
    d.nonce = nonce;
    d.sequence = sequence;
    change(d);
    return Build(d);
  };
  const auto asIs = [](Draft&) {};
  // Sequence 5, acted on first: the session's latest.
  ASSERT_EQ(Send(with(5, asIs), nonce),
            std::vector<std::string>{"1/0 seq 5 latest 5"});
  Bytes truncated = with(10, asIs);
  truncated.pop_back();
  const auto signatureFlipped = [&](std::size_t fromEnd) {
    Bytes bytes = with(10, asIs);
    bytes[bytes.size() - fromEnd] ^= 0x01;
    return bytes;
  };
  struct Case {
    const char* what;
    Bytes bytes;
    std::vector<std::string> replies;
    int keyedHashes;  // a cheap check's refusal costs none
  };
  const Case cases[] = {
      {"truncated", truncated, {}, 0},
      {"header only", Bytes(truncated.begin(), truncated.begin() + 32), {}, 0},
      {"oversized",
       with(
           10,
           [](Draft& d) { d.body = WriteBody("SP1", std::string(1000, 'x')); }),
       {},
       0},
      {"other station", with(10, [](Draft& d) { d.macLast = 0x56; }), {}, 0},
      {"item kind", with(10, [](Draft& d) { d.kind = 0x01; }), {}, 0},
      {"payload length",
       with(10, [](Draft& d) { d.payloadLengthError = 1; }),
       {},
       0},
      {"wrong key", with(10, [](Draft& d) { d.key = TestKey(1); }), {}, 1},
      {"signature's first byte", signatureFlipped(32), {}, 1},
      {"signature's last byte but one", signatureFlipped(2), {}, 1},
      {"wrong nonce",
       with(10, [](Draft& d) { d.nonce[0] ^= 1; }),
       {"3/5 seq 10 latest 5"},
       2},
      {"old sequence", with(4, asIs), {"3/6 seq 4 latest 5"}, 2},
      {"latest sequence, other bytes",
       with(5, [](Draft& d) { d.body = WriteBody("SP1", "0"); }),
       {"3/6 seq 5 latest 5"},
       2},
      {"unknown command",
       with(11, [](Draft& d) { d.command = 0x07; }),
       {"3/3 seq 11 latest 11"},
       2},
      {"bar in name",
       with(12, [](Draft& d) { d.body = WriteBody("A|B", "1"); }),
       {"3/4 seq 12 latest 12"},
       2},
      {"empty name",
       with(13, [](Draft& d) { d.body = WriteBody("", "1"); }),
       {"3/4 seq 13 latest 13"},
       2},
      {"NUL in name",
       with(14,
            [](Draft& d) {
              d.body = WriteBody(std::string("SP1\0EVIL", 8), "1");
            }),
       {"3/4 seq 14 latest 14"},
       2},
      {"NUL in value",
       with(15,
            [](Draft& d) {
              d.body = WriteBody("SP1", std::string("1\0"
                                                    "2",
                                                    3));
            }),
       {"3/8 seq 15 latest 15"},
       2},
      {"body past its lengths",
       with(16, [](Draft& d) { d.body = WriteBody("SP1", "1") + "x"; }),
       {"3/8 seq 16 latest 16"},
       2},
      {"snapshot with a body",
       with(17, [](Draft& d) { d.command = 0x02; }),
       {"3/8 seq 17 latest 17"},
       2},
      {"fence with a body",
       with(18, [](Draft& d) { d.command = 0x03; }),
       {"3/8 seq 18 latest 18"},
       2},
      {"not-after over a minute ahead",
       with(19, [](Draft& d) { d.notAfter = 60001; }),
       {"3/10 seq 19 latest 19"},
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int hashesBefore = env_.HmacCalls();
    EXPECT_EQ(Send(c.bytes, nonce), c.replies);
    EXPECT_EQ(env_.HmacCalls() - hashesBefore, c.keyedHashes);
    EXPECT_EQ(Service().writeQueue().size(), 1u);  // sequence 5's alone
  }
  // The unauthenticated ones were counted, logged once for the minute, and
  // the rest as the session closes.
  EXPECT_EQ(Service().commands().rejectedCount(), 9u);
  Service().commands().CloseSession();
  const std::vector<std::string> rejectedLines = {
      FormatLogLine(messages::kCommandsRejectedFormat, 1u),
      FormatLogLine(messages::kCommandsRejectedFormat, 8u)};
  EXPECT_EQ(OnlyLines(Log(), rejectedLines), rejectedLines);
}

// Commands that the size limits just admit, and sequence 0, which no
// session takes.
TEST_F(CommandTest, TheLargestWriteAndTheSmallestCommandsAreTakenSequence0Not) {
  Configured(std::string("KEY=") + kKeyText);
  Service().writeQueue().SetCallback(IgnoreWrite);
  const Bytes nonce = OpenSession();
  Draft d;
  d.nonce = nonce;
  d.sequence = 0;
  EXPECT_EQ(Send(Build(d), nonce),
            std::vector<std::string>{"3/6 seq 0 latest 0"});
  // 1023 bytes: 81 and the write's 2 + 3 + 2 + 935.
  d.sequence = 1;
  d.body = WriteBody("SP1", std::string(935, 'v'));
  const Bytes largest = Build(d);
  ASSERT_EQ(largest.size(), 1023u);
  EXPECT_EQ(Send(largest, nonce),
            std::vector<std::string>{"1/0 seq 1 latest 1"});
  EXPECT_EQ(Service().writeQueue().size(), 1u);
  // 81 bytes each; the snapshot is asked for, the fence done at once.
  d.sequence = 2;
  d.command = 0x02;
  d.body.clear();
  const Bytes snapshot = Build(d);
  ASSERT_EQ(snapshot.size(), 81u);
  EXPECT_EQ(Service().commands().Handle(snapshot.data(), snapshot.size()),
            std::optional<std::uint32_t>(2));
  const std::vector<ReplyBytes> queued = Service().commands().TakeReplies();
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(
      ReadReply(Bytes(queued[0].begin(), queued[0].end()), nonce, snapshot),
      "1/0 seq 2 latest 2");
  d.sequence = 3;
  d.command = 0x03;
  const Bytes fence = Build(d);
  EXPECT_EQ(Send(fence, nonce), std::vector<std::string>{"2/0 seq 3 latest 3"});
}

TEST_F(CommandTest, OnlyTheSameBytesGetTheRememberedReplyAndNewSessionsRefuse) {
  Configured(std::string("KEY=") + kKeyText);
  Service().writeQueue().SetCallback(IgnoreWrite);
  Bytes nonce = OpenSession();
  Draft d;
  d.nonce = nonce;
  const Bytes write = Build(d);
  EXPECT_EQ(Send(write, nonce), std::vector<std::string>{"1/0 seq 1 latest 1"});
  EXPECT_EQ(Send(write, nonce), std::vector<std::string>{"1/0 seq 1 latest 1"});
  // A server whose sequences started over (its clock behind, a standby):
  // the same sequence with other bytes is refused, and the reply answers
  // that command, never vouching for it with the earlier one's outcome.
  Draft other = d;
  other.body = WriteBody("SP2", "7");
  const Bytes reused = Build(other);
  EXPECT_EQ(Send(reused, nonce),
            std::vector<std::string>{"3/6 seq 1 latest 1"});
  EXPECT_EQ(Service().writeQueue().size(), 1u);
  // The remembered reply is sealed afresh: the clock of its sending.
  env_.SleepMs(1234);
  Service().commands().Handle(write.data(), write.size());
  const std::vector<ReplyBytes> again = Service().commands().TakeReplies();
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(U32At(Bytes(again[0].begin(), again[0].end()), 62), 1234u);

  // The link restarts before the host had the write: it is dropped, and
  // the captured command, signed for the old session, does nothing.
  Service().commands().CloseSession();
  EXPECT_EQ(Service().writeQueue().size(), 0u);
  const Bytes newNonce = OpenSession();
  EXPECT_NE(newNonce, nonce);
  EXPECT_EQ(Send(write, newNonce),
            std::vector<std::string>{"3/5 seq 1 latest 0"});
  EXPECT_EQ(Service().writeQueue().size(), 0u);
  // Under the new nonce the sequences start afresh.
  d.nonce = newNonce;
  EXPECT_EQ(Send(Build(d), newNonce),
            std::vector<std::string>{"1/0 seq 1 latest 1"});
  EXPECT_EQ(Service().writeQueue().size(), 1u);
}

// A command acts only while the session clock has not passed its
// not-after, which may lie a minute ahead at most; the clock wraps.
TEST_F(CommandTest, ACommandActsOnlyWithinItsValidity) {
  Configured(std::string("KEY=") + kKeyText);
  Service().writeQueue().SetCallback(IgnoreWrite);
  struct Case {
    std::uint32_t clock;  // the session's, as the command comes
    std::uint32_t notAfter;
    const char* reply;
  };
  const Case cases[] = {
      {0, 0, "1/0 seq 1 latest 1"},
      {5000, 5000, "1/0 seq 1 latest 1"},
      {5001, 5000, "3/10 seq 1 latest 1"},
      {10000, 70000, "1/0 seq 1 latest 1"},
      {10000, 70001, "3/10 seq 1 latest 1"},
      {10000, 9000, "3/10 seq 1 latest 1"},
      {0xFFFFFF00u, 4000, "1/0 seq 1 latest 1"},
      {0xFFFFFF00u, 0xFFFFFEFFu, "3/10 seq 1 latest 1"},
      {0xFFFFFF00u, 60000, "3/10 seq 1 latest 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.clock) + " " + std::to_string(c.notAfter));
    const Bytes nonce = OpenSession();
    env_.SleepMs(c.clock);
    Draft d;
    d.nonce = nonce;
    d.notAfter = c.notAfter;
    EXPECT_EQ(Send(Build(d), nonce), std::vector<std::string>{c.reply});
    Service().commands().CloseSession();
  }
  // A late command's sequence is spent: the same bytes stay refused once
  // the clock wraps round to them.
  const Bytes nonce = OpenSession();
  env_.SleepMs(2000);
  Draft d;
  d.nonce = nonce;
  d.notAfter = 1000;
  const Bytes late = Build(d);
  EXPECT_EQ(Send(late, nonce), std::vector<std::string>{"3/10 seq 1 latest 1"});
  env_.SleepMs(0xFFFFFFFFu - 1500);
  EXPECT_EQ(Send(late, nonce), std::vector<std::string>{"3/10 seq 1 latest 1"});
  EXPECT_EQ(Service().writeQueue().size(), 0u);
}

TEST_F(CommandTest, AFenceMakesEveryEarlierSequenceOld) {
  Configured(std::string("KEY=") + kKeyText);
  Service().writeQueue().SetCallback(IgnoreWrite);
  const Bytes nonce = OpenSession();
  Draft held;
  held.nonce = nonce;
  held.sequence = 7;
  const Bytes heldBack = Build(held);  // never reached the station
  Draft fence = held;
  fence.sequence = 8;
  fence.command = 0x03;
  fence.body.clear();
  EXPECT_EQ(Send(Build(fence), nonce),
            std::vector<std::string>{"2/0 seq 8 latest 8"});
  EXPECT_EQ(Send(heldBack, nonce),
            std::vector<std::string>{"3/6 seq 7 latest 8"});
  EXPECT_EQ(Service().writeQueue().size(), 0u);
  EXPECT_EQ(CommandLines(),
            (std::vector<std::string>{
                FormatLogLine(messages::kCommandFenceFormat, 8u),
                FormatLogLine(messages::kCommandRefusedFormat, 7u, 6u, "")}));
}

TEST_F(CommandTest, RunningLinkDeliversAWriteOnceAndRepliesFromItsThreads) {
  Configured(std::string("KEY=") + kKeyText);
  {
    std::lock_guard<std::mutex> hold(writesLock);
    writesGot.clear();
  }
  // The workers' pauses leave the session clock where it is, so that the
  // command is within its validity whenever the thread gets to it.
  env_.holdClock = true;
  ASSERT_EQ(Service().StartLink(), 1);
  Service().SetWriteCallback(RecordWrite);
  // The replies among what the link sent, read once they satisfy `done`.
  const auto replies = [&](std::size_t count) {
    std::vector<Bytes> found;
    env_.WaitUntilSent([&](const std::vector<Bytes>& sent) {
      found.clear();
      for (const Bytes& d : sent)
        if (d.size() > 8 && d[8] == 0x04) found.push_back(d);
      return found.size() >= count;
    });
    return found;
  };
  const std::vector<Bytes> opening = replies(1);
  ASSERT_EQ(opening.size(), 1u);
  const Bytes nonce(opening[0].begin() + 32, opening[0].begin() + 40);
  Draft d;
  d.nonce = nonce;
  const Bytes write = Build(d);
  env_.Deliver(write);
  ASSERT_EQ(replies(3).size(), 3u);  // opened, queued, delivered
  env_.Deliver(write);
  const std::vector<Bytes> all = replies(4);
  Service().StopLink();

  std::vector<std::string> read = {ReadReply(all[0], nonce)};
  for (std::size_t i = 1; i < all.size(); ++i)
    read.push_back(ReadReply(all[i], nonce, write));
  EXPECT_EQ(read, (std::vector<std::string>{
                      "0/0 seq 0 latest 0", "1/0 seq 1 latest 1",
                      "2/0 seq 1 latest 1", "2/0 seq 1 latest 1"}));
  std::lock_guard<std::mutex> hold(writesLock);
  EXPECT_EQ(writesGot, std::vector<std::string>{"SP1=42.5"});
}

TEST_F(CommandTest, WritesAreRefusedWithoutCallbackWhenFullAndWhenTooMany) {
  Configured(std::string("KEY=") + kKeyText);
  const Bytes nonce = OpenSession();
  std::uint32_t sequence = 0;
  const auto next = [&] {
    Draft d;
    d.nonce = nonce;
    d.sequence = ++sequence;
    return Build(d);
  };
  EXPECT_EQ(Send(next(), nonce),
            std::vector<std::string>{"3/1 seq 1 latest 1"});
  Service().writeQueue().SetCallback(IgnoreWrite);
  env_.SleepMs(1000);
  // Twenty a second are taken, then refused until the second has passed.
  for (int i = 0; i < 20; ++i) Send(next(), nonce);
  const Bytes limited = next();
  EXPECT_EQ(Send(limited, nonce),
            std::vector<std::string>{"3/7 seq 22 latest 21"});
  EXPECT_EQ(Service().writeQueue().size(), 20u);
  // Not remembered: the same command a second later acts.
  env_.SleepMs(1000);
  EXPECT_EQ(Send(limited, nonce),
            std::vector<std::string>{"1/0 seq 22 latest 22"});
  // 64 may wait for the host; beyond, refused.
  for (int i = 0; i < 19; ++i) Send(next(), nonce);
  for (int second = 0; second < 2; ++second) {
    env_.SleepMs(1000);
    for (int i = 0; i < 20; ++i) Send(next(), nonce);
  }
  EXPECT_EQ(Service().writeQueue().size(), 64u);
  env_.SleepMs(1000);
  const std::string last = std::to_string(sequence + 1);
  EXPECT_EQ(Send(next(), nonce),
            std::vector<std::string>{"3/2 seq " + last + " latest " + last});
}

// Refusals, replays among them, may fill the minute's allowance of lines;
// a command acted on is logged all the same, and what was left out is
// summed up once the minute is over, or as the session ends.
TEST_F(CommandTest, RefusalsCannotCrowdOutTheLinesOfCommandsActedOn) {
  Configured(std::string("KEY=") + kKeyText);
  Service().writeQueue().SetCallback(IgnoreWrite);
  for (const bool minutePasses : {false, true}) {
    SCOPED_TRACE(minutePasses ? "the minute passes" : "the session ends");
    env_.SleepMs(60000);  // a minute of its own
    std::remove(LogPath().c_str());
    const Bytes nonce = OpenSession();
    Draft d;
    d.nonce = nonce;
    d.nonce[7] ^= 1;  // a replay of another session's command
    const Bytes replay = Build(d);
    for (int i = 0; i < 40; ++i) Send(replay, nonce);
    d.nonce = nonce;
    for (std::uint32_t sequence = 1; sequence <= 3; ++sequence) {
      d.sequence = sequence;
      Send(Build(d), nonce);
    }
    std::vector<std::string> expected(
        30, FormatLogLine(messages::kCommandRefusedFormat, 1u, 5u, ""));
    for (unsigned sequence = 1; sequence <= 3; ++sequence)
      expected.push_back(FormatLogLine(messages::kCommandWriteQueuedFormat,
                                       sequence, "SP1", "42.5"));
    EXPECT_EQ(CommandLines(), expected);
    if (minutePasses) {
      env_.SleepMs(60000);
      Service().commands().Tick();
      Service().commands().Tick();
    }
    Service().commands().CloseSession();
    expected.push_back(
        FormatLogLine(messages::kCommandLinesSkippedFormat, 10u));
    EXPECT_EQ(CommandLines(), expected);
  }
}

// The command thread reads on while datagrams wait: a flood of unsigned
// ones costs no keyed hash and no pause, and a receive that fails (a
// refusal some host reported, forged or not) is skipped within the turn.
TEST_F(CommandTest, TheCommandThreadDrainsFloodsAndSkipsFailedReceives) {
  Configured(std::string("KEY=") + kKeyText);
  Service().writeQueue().SetCallback(IgnoreWrite);
  OpenLink();
  const Bytes nonce = OpenSession();
  Draft d;
  d.nonce = nonce;
  Draft unsigned_ = d;
  unsigned_.kind = 0x01;
  std::vector<Bytes> arrivals(600, Build(unsigned_));
  arrivals.push_back(Build(d));
  env_.Deliver(arrivals);
  env_.ClearSleeps();
  const int hashesBefore = env_.HmacCalls();
  const int emptyWaitsBefore = env_.EmptyReadableWaits();
  // The last sent datagram, read as a reply to `command`.
  const auto lastReply = [&](const Bytes& command) {
    const std::vector<Bytes> sent = env_.Sent();
    return sent.empty() ? std::string()
                        : ReadReply(sent.back(), nonce, command);
  };
  int turns = 0;
  while (lastReply(arrivals.back()) != "1/0 seq 1 latest 1" && turns < 10) {
    Service().CommandTurn();
    ++turns;
  }
  EXPECT_EQ(turns, 3);  // 601 datagrams, at most 256 a turn
  EXPECT_TRUE(env_.Pauses().empty());
  EXPECT_EQ(env_.EmptyReadableWaits(), emptyWaitsBefore);
  EXPECT_EQ(Service().commands().rejectedCount(), 600u);
  EXPECT_EQ(env_.HmacCalls() - hashesBefore, 2);  // the command, its reply

  // Three failed receives in front of a command: one turn reads them all.
  for (int i = 0; i < 3; ++i) env_.DeliverFailure(111);
  d.sequence = 2;
  const Bytes behind = Build(d);
  env_.Deliver(behind);
  Service().CommandTurn();
  EXPECT_EQ(lastReply(behind), "1/0 seq 2 latest 2");
  EXPECT_TRUE(env_.Pauses().empty());
  // A failure alone costs no pause; a socket that fails every receive of a
  // turn is in error, and a pause keeps it from spinning the thread.
  env_.DeliverFailure(111);
  Service().CommandTurn();
  EXPECT_TRUE(env_.Pauses().empty());
  for (int i = 0; i < 300; ++i) env_.DeliverFailure(111);
  Service().CommandTurn();
  EXPECT_EQ(env_.Pauses(), std::vector<FakeEnv::Pause>({{20, true}}));
  // What the minute only counted (one, then a turn of 256) is written once
  // the minute is over, while the link runs on.
  env_.SleepMs(60000);
  Service().commands().Tick();
  const std::vector<std::string> failed = {
      FormatLogLine(messages::kCommandReceiveFailedFormat, 3u),
      FormatLogLine(messages::kCommandReceiveFailedFormat, 257u)};
  EXPECT_EQ(OnlyLines(Log(), failed), failed);
}

}  // namespace
}  // namespace pelmora::testing

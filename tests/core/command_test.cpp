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

Bytes Hmac(Env& env, const Key& key, const Bytes& data) {
  Bytes mac(32);
  EXPECT_TRUE(env.HmacSha256(key.data(), key.size(), data.data(), data.size(),
                             mac.data()));
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

Bytes Build(Env& env, const Draft& d) {
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
  const Bytes mac = Hmac(env, d.key, bytes);
  bytes.insert(bytes.end(), mac.begin(), mac.end());
  return bytes;
}

// A reply as a server reads it: "state/reason seq N", after checking its
// layout, signature and nonce.
std::string ReadReply(Env& env, const Bytes& reply, const Bytes& nonce) {
  if (reply.size() != 102) return "length " + std::to_string(reply.size());
  const Bytes head(reply.begin(), reply.begin() + 70);
  if (Hmac(env, TestKey(), head) != Bytes(reply.begin() + 70, reply.end()))
    return "bad signature";
  if (reply[8] != 0x04 || reply[12] != 70 || reply[21] != 0x55)
    return "bad header";
  if (Bytes(reply.begin() + 32, reply.begin() + 40) != nonce)
    return "other nonce";
  const std::uint32_t sequence =
      reply[40] | reply[41] << 8 | reply[42] << 16 | reply[43] << 24;
  return std::to_string(reply[44]) + "/" + std::to_string(reply[45]) + " seq " +
         std::to_string(sequence);
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
    EXPECT_EQ(ReadReply(env_, opening, nonce), "0/0 seq 0");
    return nonce;
  }

  // Hands `bytes` to the channel; the replies as ReadReply shows them.
  std::vector<std::string> Send(const Bytes& bytes, const Bytes& nonce) {
    Service().commands().Handle(bytes.data(), bytes.size());
    std::vector<std::string> replies;
    for (const ReplyBytes& r : Service().commands().TakeReplies())
      replies.push_back(ReadReply(env_, Bytes(r.begin(), r.end()), nonce));
    return replies;
  }
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
    return Build(env_, d);
  };
  const auto asIs = [](Draft&) {};
  // Sequence 5, acted on first: the session's latest.
  ASSERT_EQ(Send(with(5, asIs), nonce), std::vector<std::string>{"1/0 seq 5"});
  Bytes truncated = with(10, asIs);
  truncated.pop_back();
  struct Case {
    const char* what;
    Bytes bytes;
    std::vector<std::string> replies;
  };
  const Case cases[] = {
      {"wrong key", with(10, [](Draft& d) { d.key = TestKey(1); }), {}},
      {"truncated", truncated, {}},
      {"header only", Bytes(truncated.begin(), truncated.begin() + 32), {}},
      {"oversized",
       with(
           10,
           [](Draft& d) { d.body = WriteBody("SP1", std::string(1000, 'x')); }),
       {}},
      {"other station", with(10, [](Draft& d) { d.macLast = 0x56; }), {}},
      {"item kind", with(10, [](Draft& d) { d.kind = 0x01; }), {}},
      {"payload length",
       with(10, [](Draft& d) { d.payloadLengthError = 1; }),
       {}},
      {"wrong nonce",
       with(10, [](Draft& d) { d.nonce[0] ^= 1; }),
       {"3/5 seq 10"}},
      {"old sequence", with(4, asIs), {"3/6 seq 4"}},
      {"unknown command",
       with(11, [](Draft& d) { d.command = 0x07; }),
       {"3/3 seq 11"}},
      {"bar in name",
       with(12, [](Draft& d) { d.body = WriteBody("A|B", "1"); }),
       {"3/4 seq 12"}},
      {"empty name",
       with(13, [](Draft& d) { d.body = WriteBody("", "1"); }),
       {"3/4 seq 13"}},
      {"body past its lengths",
       with(14, [](Draft& d) { d.body = WriteBody("SP1", "1") + "x"; }),
       {"3/8 seq 14"}},
      {"snapshot with a body",
       with(15, [](Draft& d) { d.command = 0x02; }),
       {"3/8 seq 15"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Send(c.bytes, nonce), c.replies);
    EXPECT_EQ(Service().writeQueue().size(), 1u);  // sequence 5's alone
  }
  // The unauthenticated ones were counted, logged once for the minute, and
  // the rest as the session closes.
  EXPECT_EQ(Service().commands().rejectedCount(), 7u);
  Service().commands().CloseSession();
  const std::vector<std::string> rejectedLines = {
      FormatLogLine(messages::kCommandsRejectedFormat, 1u),
      FormatLogLine(messages::kCommandsRejectedFormat, 6u)};
  EXPECT_EQ(OnlyLines(Log(), rejectedLines), rejectedLines);
}

TEST_F(CommandTest, ResendRepeatsTheReplyAndNewSessionRefusesOldCommands) {
  Configured(std::string("KEY=") + kKeyText);
  Service().writeQueue().SetCallback(IgnoreWrite);
  Bytes nonce = OpenSession();
  Draft d;
  d.nonce = nonce;
  const Bytes write = Build(env_, d);
  EXPECT_EQ(Send(write, nonce), std::vector<std::string>{"1/0 seq 1"});
  EXPECT_EQ(Send(write, nonce), std::vector<std::string>{"1/0 seq 1"});
  EXPECT_EQ(Service().writeQueue().size(), 1u);

  // The link restarts before the host had the write: it is dropped, and
  // the captured command, signed for the old session, does nothing.
  Service().commands().CloseSession();
  EXPECT_EQ(Service().writeQueue().size(), 0u);
  const Bytes newNonce = OpenSession();
  EXPECT_NE(newNonce, nonce);
  EXPECT_EQ(Send(write, newNonce), std::vector<std::string>{"3/5 seq 1"});
  EXPECT_EQ(Service().writeQueue().size(), 0u);
  // Under the new nonce the sequences start afresh.
  d.nonce = newNonce;
  EXPECT_EQ(Send(Build(env_, d), newNonce),
            std::vector<std::string>{"1/0 seq 1"});
  EXPECT_EQ(Service().writeQueue().size(), 1u);
}

TEST_F(CommandTest, RunningLinkDeliversAWriteOnceAndRepliesFromItsThreads) {
  Configured(std::string("KEY=") + kKeyText);
  {
    std::lock_guard<std::mutex> hold(writesLock);
    writesGot.clear();
  }
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
  const Bytes write = Build(env_, d);
  env_.Deliver(write);
  ASSERT_EQ(replies(3).size(), 3u);  // opened, queued, delivered
  env_.Deliver(write);
  const std::vector<Bytes> all = replies(4);
  Service().StopLink();

  std::vector<std::string> read;
  for (const Bytes& r : all) read.push_back(ReadReply(env_, r, nonce));
  EXPECT_EQ(read, (std::vector<std::string>{"0/0 seq 0", "1/0 seq 1",
                                            "2/0 seq 1", "2/0 seq 1"}));
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
    return Build(env_, d);
  };
  EXPECT_EQ(Send(next(), nonce), std::vector<std::string>{"3/1 seq 1"});
  Service().writeQueue().SetCallback(IgnoreWrite);
  env_.SleepMs(1000);
  // Twenty a second are taken, then refused until the second has passed.
  for (int i = 0; i < 20; ++i) Send(next(), nonce);
  EXPECT_EQ(Send(next(), nonce), std::vector<std::string>{"3/7 seq 22"});
  EXPECT_EQ(Service().writeQueue().size(), 20u);
  // 64 may wait for the host; beyond, refused.
  for (int second = 0; second < 3; ++second) {
    env_.SleepMs(1000);
    for (int i = 0; i < 20; ++i) Send(next(), nonce);
  }
  EXPECT_EQ(Service().writeQueue().size(), 64u);
  env_.SleepMs(1000);
  const Bytes beyond = next();
  EXPECT_EQ(Send(beyond, nonce),
            std::vector<std::string>{"3/2 seq " + std::to_string(sequence)});
}

}  // namespace
}  // namespace pelmora::testing

// Signed commands through the real host program and the real plug-in: a
// server on loopback, written here with OpenSSL apart from the plug-in's
// code, learns the session from the station's first reply, signs a write
// and sees it reach the host's callback; and the protocol guide's examples
// are what the plug-in reads and signs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "command/command_wire.h"
#include "host_run.h"
#include "support/datagram_bytes.h"

namespace pelmora::testing {
namespace {

constexpr char kKeyText[] =
    "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

Bytes KeyBytes() { return Hex(kKeyText); }

Bytes Signed(Bytes bytes) {
  const Bytes key = KeyBytes();
  unsigned char mac[32];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), bytes.data(),
       bytes.size(), mac, &length);
  bytes.insert(bytes.end(), mac, mac + length);
  return bytes;
}

// A write command of station 00:11:22:33:44:55, as the guide lays it out,
// not to act once the session clock is past `notAfter`.
Bytes WriteCommand(const Bytes& nonce, std::uint32_t sequence,
                   std::uint32_t notAfter, const std::string& name,
                   const std::string& value) {
  Bytes bytes = Hex(
      "ffffffff 02000001 03ffffff 00000000 001122334455 ffffffffffffffffffff");
  bytes.insert(bytes.end(), nonce.begin(), nonce.end());
  for (const std::uint32_t field : {sequence, notAfter})
    for (int i = 0; i < 4; ++i) bytes.push_back(std::uint8_t(field >> 8 * i));
  bytes.push_back(0x01);
  for (const std::string* text : {&name, &value}) {
    bytes.push_back(std::uint8_t(text->size()));
    bytes.push_back(std::uint8_t(text->size() >> 8));
    bytes.insert(bytes.end(), text->begin(), text->end());
  }
  bytes[12] = std::uint8_t(bytes.size());  // payload: the rest and the MAC
  return Signed(bytes);
}

// A server socket on loopback that both receives and answers.
class Server {
 public:
  Server() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof local;
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&local), size), 0);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &size);
    port_ = ntohs(local.sin_port);
  }
  ~Server() { ::close(fd_); }
  int port() const { return port_; }

  // The next datagram of `kind` within `ms`, remembering its sender.
  bool Next(std::uint8_t kind, Bytes* out, int ms = 20000) {
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      std::uint8_t buffer[2048];
      socklen_t size = sizeof peer_;
      const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr*>(&peer_), &size);
      if (n > 8 && buffer[8] == kind) {
        out->assign(buffer, buffer + n);
        return true;
      }
    }
    return false;
  }
  void Send(const Bytes& bytes) {
    ::sendto(fd_, bytes.data(), bytes.size(), 0,
             reinterpret_cast<const sockaddr*>(&peer_), sizeof peer_);
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  sockaddr_in peer_{};
};

std::uint32_t U32At(const Bytes& bytes, std::size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         std::uint32_t(bytes[at + 3]) << 24;
}

// The station's session clock as `reply` was made.
std::uint32_t ClockOf(const Bytes& reply) { return U32At(reply, 62); }

// "state/reason seq N" of a reply whose signature holds, with "answered"
// when it answers `command` and "answers other" when it answers another.
std::string ReplyText(const Bytes& reply, const Bytes& command = {}) {
  if (reply.size() != 102) return "length " + std::to_string(reply.size());
  if (Signed(Bytes(reply.begin(), reply.begin() + 70)) != reply)
    return "bad signature";
  std::string text = std::to_string(reply[44]) + "/" +
                     std::to_string(reply[45]) + " seq " +
                     std::to_string(U32At(reply, 40));
  if (!command.empty())
    text +=
        std::equal(reply.begin() + 46, reply.begin() + 62, command.end() - 32)
            ? " answered"
            : " answers other";
  return text;
}

class CommandHostTest : public TargetTest {
 protected:
  // Runs the host with a callback registered, a first round pushed, until
  // the test creates the file `go`, while `serve` plays the server.
  HostResult RunServing(bool withKey,
                        const std::function<void(Server&)>& serve) {
    Server server;
    host_.Configure(server.port());
    if (withKey) {
      WriteFile(host_.Drivers("Pelmora.ini"),
                ReadFile(host_.Drivers("Pelmora.ini")) +
                    "[COMMAND]\r\nKEY=" + kKeyText + "\r\n");
    }
    const std::string go = host_.path() + "/go";
    HostResult result;
    std::thread host([&] {
      result = host_.Run({"init", "callback", "round", "P", "3", "v", "round",
                          "P", "3", "v", "waitfor", "go", "30000", "uninit"},
                         0);
    });
    serve(server);
    WriteFile(go, "");
    host.join();
    return result;
  }
};

TEST_P(CommandHostTest,
       SignedWriteReachesTheCallbackOnceAndResendsGetTheReply) {
  const std::string name = "SP1", value = "42.5 |x";
  const HostResult r = RunServing(true, [&](Server& server) {
    Bytes opening, reply;
    ASSERT_TRUE(server.Next(0x04, &opening));
    ASSERT_EQ(ReplyText(opening), "0/0 seq 0");
    const Bytes nonce(opening.begin() + 32, opening.begin() + 40);
    const Bytes write =
        WriteCommand(nonce, 1, ClockOf(opening) + 30000, name, value);
    server.Send(write);
    ASSERT_TRUE(server.Next(0x04, &reply));
    EXPECT_EQ(ReplyText(reply, write), "1/0 seq 1 answered");
    ASSERT_TRUE(server.Next(0x04, &reply));
    EXPECT_EQ(ReplyText(reply, write), "2/0 seq 1 answered");
    // The reply was lost, say: the same datagram again is answered again.
    server.Send(write);
    ASSERT_TRUE(server.Next(0x04, &reply));
    EXPECT_EQ(ReplyText(reply, write), "2/0 seq 1 answered");
  });
  EXPECT_EQ(r.exitCode, 0) << r.output;
  std::size_t calls = 0;
  for (std::size_t at = 0;
       (at = r.output.find("callback ", at)) != std::string::npos; ++at)
    ++calls;
  EXPECT_EQ(calls, 2u) << r.output;  // "callback registered" and the write
  EXPECT_NE(r.output.find("callback SP1 42.5\\x20|x\n"), std::string::npos)
      << r.output;
}

TEST_P(CommandHostTest, WithoutAKeyASignedCommandGetsNothing) {
  const HostResult r = RunServing(false, [&](Server& server) {
    Bytes snapshot, reply;
    ASSERT_TRUE(server.Next(0xFF, &snapshot));  // where the station sends from
    server.Send(WriteCommand(Bytes(8, 0), 1, 5000, "SP1", "1"));
    EXPECT_FALSE(server.Next(0x04, &reply, 1000));
  });
  EXPECT_EQ(r.output.find("callback SP1"), std::string::npos) << r.output;
}

INSTANTIATE_TEST_SUITE_P(Targets, CommandHostTest,
                         ::testing::ValuesIn(Targets()), TargetName);

TEST(CommandGuide, ExamplesAreWhatThePlugInReadsAndSigns) {
  const std::vector<Bytes> examples =
      GuideExamples(PELMORA_PROTOCOL_GUIDE, {0x03, 0x04});
  ASSERT_EQ(examples.size(), 4u);
  CommandKey key;
  const Bytes keyBytes = KeyBytes();
  std::copy(keyBytes.begin(), keyBytes.end(), key.begin());
  DatagramHeader header;
  const std::uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  header.SetStationMac(mac);
  Env& env = *Env::Default();
  const SessionNonce nonce = {0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6, 0x07, 0x18};

  const struct {
    std::uint32_t sequence, notAfter;
    std::uint8_t type;
    std::string body;
  } commands[] = {
      {1, 5000, 0x01,
       std::string("\x03\x00SP1\x04\x00"
                   "42.5",
                   11)},
      {2, 6000, 0x02, ""},
      {3, 7000, 0x03, ""},
  };
  for (std::size_t i = 0; i < std::size(commands); ++i) {
    SCOPED_TRACE(i);
    Command command;
    ASSERT_TRUE(OpenCommand(env, key, header, examples[i].data(),
                            examples[i].size(), &command));
    EXPECT_EQ(command.nonce, nonce);
    EXPECT_EQ(command.sequence, commands[i].sequence);
    EXPECT_EQ(command.notAfter, commands[i].notAfter);
    EXPECT_EQ(command.type, commands[i].type);
    EXPECT_EQ(command.body, commands[i].body);
    EXPECT_TRUE(std::equal(command.digest.begin(), command.digest.end(),
                           examples[i].end() - 32));
  }
  std::string_view name, value;
  ASSERT_TRUE(ReadWriteBody(commands[0].body, &name, &value));
  EXPECT_EQ(std::string(name) + "=" + std::string(value), "SP1=42.5");

  ReplyFields delivered;
  delivered.sequence = 1;
  delivered.state = ReplyState::kDelivered;
  std::copy(examples[0].end() - 32, examples[0].end() - 16,
            delivered.answers.begin());
  delivered.clock = 1234;
  delivered.latest = 1;
  ReplyBytes reply;
  ASSERT_TRUE(SealReply(env, key, header, nonce, delivered, &reply));
  EXPECT_EQ(Bytes(reply.begin(), reply.end()), examples[3]);
}

}  // namespace
}  // namespace pelmora::testing

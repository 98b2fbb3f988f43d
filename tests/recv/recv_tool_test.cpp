// Runs the pelmora-recv binary against datagrams sent over loopback.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.h"
#include "support/datagram_bytes.h"
#include "support/udp_sender.h"

namespace {

using pelmora::testing::BuildDatagram;
using pelmora::testing::Bytes;
using pelmora::testing::GoldenItem;
using pelmora::testing::Hex;
using pelmora::testing::Sender;
using pelmora::testing::ToHex;

// pelmora-recv as built, run with `args`.
class Tool : public pelmora::testing::ChildProcess {
 public:
  explicit Tool(std::vector<std::string> args)
      : ChildProcess(std::move(args), {PELMORA_RECV_BINARY}) {}
};

// Validates one value of the JSON subset the tool writes (objects, arrays,
// unsigned integers, ASCII strings with \" \\ and \u00XX escapes) and
// collects every string it holds, decoded. A raw control or non-ASCII byte
// fails, as does anything the tool never writes.
bool ParseJson(const std::string& in, std::size_t* at,
               std::vector<std::string>* strings) {
  auto consume = [&](char c) {
    return *at < in.size() && in[*at] == c && ++*at;
  };
  if (consume('"')) {
    std::string text;
    while (*at < in.size() && in[*at] != '"') {
      const auto c = static_cast<unsigned char>(in[(*at)++]);
      if (c < 0x20 || c > 0x7E) return false;
      if (c != '\\') {
        text += static_cast<char>(c);
      } else if (consume('"') || consume('\\')) {
        text += in[*at - 1];
      } else if (consume('u') && in.compare(*at, 2, "00") == 0 &&
                 *at + 4 <= in.size()) {
        text +=
            static_cast<char>(std::stoi(in.substr(*at + 2, 2), nullptr, 16));
        *at += 4;
      } else {
        return false;
      }
    }
    strings->push_back(text);
    return consume('"');
  }
  const bool object = consume('{');
  if (object || consume('[')) {
    if (!object && consume(']')) return true;
    do {
      if (object && !(ParseJson(in, at, strings) && consume(':'))) return false;
      if (!ParseJson(in, at, strings)) return false;
    } while (consume(','));
    return consume(object ? '}' : ']');
  }
  const std::size_t start = *at;
  while (*at < in.size() && std::isdigit(static_cast<unsigned char>(in[*at])))
    ++*at;
  return *at > start;
}

TEST(RecvTool, JsonLinesCountAndMirror) {
  const std::string mirrorPath =
      ::testing::TempDir() + "pelmora_recv_mirror.txt";
  std::remove(mirrorPath.c_str());
  Tool tool({"--port", "0", "--json", "--count", "3", "--duration", "20000",
             "--mirror", mirrorPath});
  const int port = tool.ListeningPort();
  ASSERT_GT(port, 0);

  const std::string oddText("Q\"\\|caf\xe9\x01", 9);
  Bytes malformed = GoldenItem();
  malformed[12] = 20;
  Sender sender(static_cast<std::uint16_t>(port));
  sender.Send(GoldenItem());
  sender.Send(malformed);
  sender.Send(BuildDatagram(0x02, {"alarm|high", "door|open"}));
  sender.Send(BuildDatagram(0xFF, {"P1|13", oddText}));

  std::vector<std::string> lines;
  std::istringstream output(tool.ReadOutput());
  for (std::string line; std::getline(output, line);) lines.push_back(line);
  EXPECT_EQ(tool.ExitStatus(), 0);
  ASSERT_EQ(lines.size(), 5u);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::size_t at = 0;
    std::vector<std::string> strings;
    EXPECT_TRUE(ParseJson(lines[i], &at, &strings) && at == lines[i].size())
        << "not JSON: " << lines[i];
    if (i == 3) {
      EXPECT_EQ(strings.back(), oddText) << lines[i];
    }
  }
  EXPECT_EQ(
      lines[0],
      R"({"type":"datagram","kind":"item","mac":"00-11-22-33-44-55","bytes":41,)"
      R"("records":["P1|12.5"]})");
  EXPECT_EQ(lines[1],
            R"({"type":"malformed","error":"payload length 20 but 9 bytes )"
            R"(follow the header","bytes":41,"hex":")" +
                ToHex(malformed) + "\"}");
  EXPECT_NE(lines[2].find(R"("kind":"event")"), std::string::npos);
  EXPECT_EQ(lines[4], R"({"type":"summary","item":{"datagrams":1,"records":1},)"
                      R"("event":{"datagrams":1,"records":2},)"
                      R"("snapshot":{"datagrams":1,"records":2},)"
                      R"("malformed":1,"points":2,"events":2,)"
                      R"("stations":[{"mac":"00-11-22-33-44-55",)"
                      R"("item":{"datagrams":1,"records":1},)"
                      R"("event":{"datagrams":1,"records":2},)"
                      R"("snapshot":{"datagrams":1,"records":2},)"
                      R"("malformed":1,"points":2,"events":2}]})");

  std::ifstream mirror(mirrorPath, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(mirror)), {});
  EXPECT_EQ(written, "P1|13\n" + oddText + "\n");
}

TEST(RecvTool, TextOutputAndCleanStopOnSigterm) {
  Tool tool({"--port", "0", "--duration", "20000"});
  const int port = tool.ListeningPort();
  ASSERT_GT(port, 0);
  Sender(static_cast<std::uint16_t>(port)).Send(GoldenItem());
  tool.ReadOutput("  P1|12.5\n");
  tool.Signal(SIGTERM);
  const std::string output = tool.ReadOutput();
  EXPECT_EQ(tool.ExitStatus(), 0);
  EXPECT_EQ(output,
            "item      mac=00-11-22-33-44-55 records=1 bytes=41\n"
            "  P1|12.5\n"
            "summary\n"
            "  item      datagrams=1 records=1\n"
            "  event     datagrams=0 records=0\n"
            "  snapshot  datagrams=0 records=0\n"
            "  malformed datagrams=0\n"
            "  mirror    points=1 events=0\n");
}

TEST(RecvTool, ShowsCommandsAndRepliesAndFlagsABadOne) {
  Tool tool({"--port", "0", "--idle-exit", "500", "--duration", "20000"});
  const int port = tool.ListeningPort();
  ASSERT_GT(port, 0);
  // A station's reply that sequence 1 was refused for a wrong session, and
  // a server's write; the signatures are not checked here.
  const Bytes reply = Hex(
      "ffffffff 02000001 04ffffff 46000000 001122334455 ffffffffffffffffffff"
      "a1b2c3d4e5f60718 01000000 0305 e028f899241682c772beedfd4d87823f"
      "d2040000 07000000" +
      std::string(64, 'e'));
  const Bytes write = Hex(
      "ffffffff 02000001 03ffffff 3c000000 001122334455 ffffffffffffffffffff"
      "a1b2c3d4e5f60718 01000000 88130000 01 0300 535031 0400 34322e35" +
      std::string(64, 'e'));
  Bytes shortReply(reply.begin(), reply.end() - 1);
  shortReply[12] = 69;
  Sender sender(static_cast<std::uint16_t>(port));
  sender.Send(reply);
  sender.Send(write);
  sender.Send(shortReply);
  const std::string output = tool.ReadOutput();
  EXPECT_EQ(tool.ExitStatus(), 0);
  EXPECT_EQ(output.substr(0, output.find("summary")),
            "reply     mac=00-11-22-33-44-55 refused sequence 1: wrong session "
            "(answers e028f899, clock 1234 ms, latest 7) bytes=102\n"
            "command   mac=00-11-22-33-44-55 write sequence 1 (not after 5000 "
            "ms) bytes=92\n"
            "  SP1|42.5\n"
            "malformed bytes=101: reply of 101 bytes, not 102\n");
}

TEST(RecvTool, StationsApartInSummaryAndMirror) {
  const std::string mirrorPath =
      ::testing::TempDir() + "pelmora_recv_stations.txt";
  std::remove(mirrorPath.c_str());
  Tool tool({"--port", "0", "--quiet", "--count", "3", "--duration", "20000",
             "--mirror", mirrorPath});
  const auto port = static_cast<std::uint16_t>(tool.ListeningPort());
  ASSERT_GT(port, 0);
  const std::array<std::uint8_t, 6> other = {0x66, 0x77, 0x88,
                                             0x99, 0xAA, 0xBB};
  Sender first(port);
  Sender second(port);
  first.Send(GoldenItem());
  first.Send(Bytes(5, 0xEE));
  second.Send(BuildDatagram(0x01, {"P1|7"}, other));
  second.Send(BuildDatagram(0x02, {"door|open"}, other));

  EXPECT_EQ(tool.ReadOutput(),
            "summary\n"
            "  item      datagrams=2 records=2\n"
            "  event     datagrams=1 records=1\n"
            "  snapshot  datagrams=0 records=0\n"
            "  malformed datagrams=1\n"
            "  mirror    points=2 events=1\n"
            "  station   00-11-22-33-44-55\n"
            "    item      datagrams=1 records=1\n"
            "    event     datagrams=0 records=0\n"
            "    snapshot  datagrams=0 records=0\n"
            "    malformed datagrams=1\n"
            "    mirror    points=1 events=0\n"
            "  station   66-77-88-99-AA-BB\n"
            "    item      datagrams=1 records=1\n"
            "    event     datagrams=1 records=1\n"
            "    snapshot  datagrams=0 records=0\n"
            "    malformed datagrams=0\n"
            "    mirror    points=1 events=1\n");
  EXPECT_EQ(tool.ExitStatus(), 0);
  std::ifstream mirror(mirrorPath, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(mirror)), {});
  EXPECT_EQ(written,
            "00-11-22-33-44-55|P1|12.5\n"
            "66-77-88-99-AA-BB|P1|7\n");
}

TEST(RecvTool, GbkTextsAndBytesThatAreNone) {
  // 中文|1, then a byte that starts no GBK character and a control byte.
  const Bytes datagram =
      BuildDatagram(0x01, {"\xD6\xD0\xCE\xC4|1", "T|\xFF\x01"});
  const std::pair<std::string, std::string> cases[] = {
      {"", "  \xE4\xB8\xAD\xE6\x96\x87|1\n  T|\\xff\\x01\n"},
      {"--json",
       "\"records\":[\"\xE4\xB8\xAD\xE6\x96\x87|1\",\"T|\xEF\xBF\xBD\\u0001\"],"
       "\"raw\":[null,\"547cff01\"]}\n"},
  };
  for (const auto& [format, expected] : cases) {
    std::vector<std::string> args = {"--port",     "0",          "--count",
                                     "1",          "--encoding", "gbk",
                                     "--duration", "20000"};
    if (!format.empty()) args.push_back(format);
    Tool tool(args);
    const int port = tool.ListeningPort();
    ASSERT_GT(port, 0);
    Sender(static_cast<std::uint16_t>(port)).Send(datagram);
    const std::string output = tool.ReadOutput();
    EXPECT_NE(output.find(expected), std::string::npos) << output;
    EXPECT_EQ(tool.ExitStatus(), 0);
  }
}

TEST(RecvTool, LiveTableInsteadOfDatagramLines) {
  Tool tool({"--port", "0", "--live", "--count", "1", "--duration", "20000"});
  const int port = tool.ListeningPort();
  ASSERT_GT(port, 0);
  Sender(static_cast<std::uint16_t>(port)).Send(GoldenItem());
  const std::string output = tool.ReadOutput();
  EXPECT_EQ(tool.ExitStatus(), 0);
  for (const char* expected : {"\x1b[H", "\n00-11-22-33-44-55       1  ",
                               "  from 127.0.0.1:", "  last P1|12.5\x1b[K\n",
                               "\x1b[Jsummary\n  item      datagrams=1"}) {
    EXPECT_NE(output.find(expected), std::string::npos) << expected;
  }
  EXPECT_EQ(output.find("mac="), std::string::npos) << output;
}

TEST(RecvTool, IdleClockStartsAtFirstDatagram) {
  Tool tool(
      {"--port", "0", "--quiet", "--idle-exit", "100", "--duration", "20000"});
  const int port = tool.ListeningPort();
  ASSERT_GT(port, 0);
  ::usleep(400 * 1000);
  ASSERT_TRUE(tool.Running()) << "left before any datagram arrived";
  const auto sent = std::chrono::steady_clock::now();
  Sender(static_cast<std::uint16_t>(port)).Send(GoldenItem());
  EXPECT_NE(tool.ReadOutput().find("item      datagrams=1"), std::string::npos);
  EXPECT_EQ(tool.ExitStatus(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(5));
}

TEST(RecvTool, RejectsBadCommandLines) {
  const std::pair<std::vector<std::string>, int> cases[] = {
      {{"--port", "65536"}, 2},
      {{"--count", "0"}, 2},
      {{"--duration", "5x"}, 2},
      {{"--port"}, 2},
      {{"--verbose"}, 2},
      {{"--bind", "1.2.3"}, 1},
      {{"--encoding", "utf8"}, 2},
      {{"--live", "--quiet"}, 2},
      {{"--count", "18446744073709551616"}, 2},
      {{"--port", "-1"}, 2},
      {{"--config", "x"}, 2}};
  for (const auto& [args, status] : cases) {
    Tool tool(args);
    tool.ReadOutput();
    EXPECT_EQ(tool.ExitStatus(), status) << args[0] << " " << args.back();
  }
}

}  // namespace

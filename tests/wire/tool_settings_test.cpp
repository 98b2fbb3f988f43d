// How every tool reads its settings: addresses and ports, and files of
// lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "endpoint.h"
#include "line_file.h"

namespace pelmora::wire {
namespace {

TEST(WireEndpoint, DottedIpv4OnlyTheSameOnEverySystem) {
  const struct {
    const char* text;
    bool read;
    std::uint32_t address;
  } cases[] = {
      {"127.0.0.1", true, 0x7F000001},
      {"0.0.0.0", true, 0},
      {"255.255.255.255", true, 0xFFFFFFFF},
      {"10.1.2.30", true, 0x0A01021E},
      {"", false, 0},
      {"1.2.3", false, 0},
      {"1.2.3.4.5", false, 0},
      {"1.2.3.", false, 0},
      {".1.2.3", false, 0},
      {"1..2.3", false, 0},
      {"256.0.0.1", false, 0},
      {"1.2.3.1000", false, 0},
      {"010.0.0.1", false, 0},  // octal to inet_aton
      {"1.2.3.00", false, 0},
      {"0x7f.0.0.1", false, 0},
      {"127.1", false, 0},
      {"2130706433", false, 0},
      {" 1.2.3.4", false, 0},
      {"1.2.3.4 ", false, 0},
      {"+1.2.3.4", false, 0},
      {"1.2.3.-4", false, 0},
      {"1.2.3.4/24", false, 0},
      {"localhost", false, 0},
      {"::1", false, 0},
  };
  for (const auto& c : cases) {
    std::uint32_t address = 5;
    EXPECT_EQ(ParseIpv4(c.text, &address), c.read) << c.text;
    EXPECT_EQ(address, c.read ? c.address : 5) << c.text;
  }
}

TEST(WireEndpoint, PortsAndAddressPortPairs) {
  const struct {
    const char* text;
    PortZero zero;
    bool read;
    std::uint16_t port;
  } ports[] = {
      {"7000", PortZero::kRefused, true, 7000},
      {"1", PortZero::kRefused, true, 1},
      {"65535", PortZero::kRefused, true, 65535},
      {"0", PortZero::kPicksOne, true, 0},
      {"0", PortZero::kRefused, false, 0},
      {"65536", PortZero::kPicksOne, false, 0},
      {"-1", PortZero::kPicksOne, false, 0},
      {"+80", PortZero::kPicksOne, false, 0},
      {" 80", PortZero::kPicksOne, false, 0},
      {"80x", PortZero::kPicksOne, false, 0},
      {"", PortZero::kPicksOne, false, 0},
  };
  for (const auto& c : ports) {
    std::uint16_t port = 9;
    EXPECT_EQ(ParsePort(c.text, c.zero, &port), c.read) << c.text;
    EXPECT_EQ(port, c.read ? c.port : 9) << c.text;
  }
  Endpoint endpoint;
  ASSERT_TRUE(ParseEndpoint("10.0.0.2:40000", PortZero::kRefused, &endpoint));
  EXPECT_EQ(EndpointText(endpoint), "10.0.0.2:40000");
  for (const char* bad :
       {"10.0.0.2", "10.0.0.2:", ":7000", "10.0.0.2:0", "localhost:7000",
        "10.0.0.2:7000:1", "10.0.0.2 :7000"}) {
    EXPECT_FALSE(ParseEndpoint(bad, PortZero::kRefused, &endpoint)) << bad;
  }
}

TEST(WireLineFile, LinesEndInLfOrCrLfAndSettingsSkipCommentsAndBlanks) {
  const std::string path = ::testing::TempDir() + "pelmora_line_file.txt";
  const struct {
    std::string bytes;
    std::vector<std::string> lines;
    std::vector<std::pair<int, std::string>> content;
  } cases[] = {
      {"", {}, {}},
      {"a", {"a"}, {{1, "a"}}},
      {"a\n", {"a"}, {{1, "a"}}},
      {"a\r\nb\n\nc", {"a", "b", "", "c"}, {{1, "a"}, {2, "b"}, {4, "c"}}},
      {"\n\n", {"", ""}, {}},
      {"  # note\n\tkey = v#1 \r\n",
       {"  # note", "\tkey = v#1 "},
       {{2, "key = v#1"}}},
      {" \t \r\n#\nx\r\r\n", {" \t ", "#", "x\r"}, {{3, "x"}}},
      {"a\rb\n", {"a\rb"}, {{1, "a\rb"}}},  // a lone CR ends no line
      {std::string("k\0v\n", 4),
       {std::string("k\0v", 3)},
       {{1, std::string("k\0v", 3)}}},
  };
  for (const auto& c : cases) {
    std::ofstream(path, std::ios::binary) << c.bytes;
    const auto lines = ReadFileLines(path);
    const auto content = ReadContentLines(path);
    ASSERT_TRUE(lines && content) << c.bytes;
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < lines->size(); ++i) {
      EXPECT_EQ((*lines)[i].number, static_cast<int>(i) + 1) << c.bytes;
      texts.push_back((*lines)[i].text);
    }
    EXPECT_EQ(texts, c.lines) << c.bytes;
    std::vector<std::pair<int, std::string>> kept;
    for (const FileLine& line : *content)
      kept.emplace_back(line.number, line.text);
    EXPECT_EQ(kept, c.content) << c.bytes;
  }
  std::remove(path.c_str());
  // Neither a file that is not there nor a directory reads as empty.
  EXPECT_FALSE(ReadFileLines(path));
  EXPECT_FALSE(ReadContentLines(::testing::TempDir()));
}

}  // namespace
}  // namespace pelmora::wire

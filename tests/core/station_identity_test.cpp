// The station MAC: how a MAC text becomes the six header bytes, and how the
// adapters' addresses become MAC texts.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <regex>

#include "config/station_identity.h"
#include "support/datagrams.h"
#include "support/service_fixture.h"

namespace pelmora::testing {
namespace {

using Mac = std::array<std::uint8_t, 6>;

std::string Hex(const std::uint8_t* bytes, std::size_t n) {
  std::string text;
  char group[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(group, sizeof group, "%02X ", bytes[i]);
    text += group;
  }
  return text;
}

using StationTest = ServiceTest;

TEST_F(StationTest, MacTextsScanLikeSixHexConversions) {
  struct Case {
    const char* text;
    Mac bytes;
  };
  const Case cases[] = {
      {"0A:1B:2C:3D:4E:5F", {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}},
      {"0a:1b:2c:3d:4e:5f", {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}},
      {"", {}},
      {"0A:1B:2C:3D:4E:5", {}},       // 16 characters
      {"0A:1B:2C:3D:4E:5F0", {}},     // 18 characters
      {"0A-1B-2C-3D-4E-5F", {0x0A}},  // stops at the first '-'
      {" A:1B:2C:3D:4E:5F", {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}},
      {"0A: 1B:2C:3D:4E:5", {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x05}},
      {"0A :1B:2C:3D:4E:5", {0x0A}},  // no blank before ':'
      {"1FF:1:2:3:4:5:678", {0xFF, 0x01, 0x02, 0x03, 0x04, 0x05}},
      {"12345678:1:2:3:45", {0x78, 0x01, 0x02, 0x03, 0x45}},
      {"-1:+2:3:4:05:0x6F", {0xFF, 0x02, 0x03, 0x04, 0x05, 0x6F}},
      {"-0x10:0X2:3:4:5:6", {0xF0, 0x02, 0x03, 0x04, 0x05, 0x06}},
      {"0A:1B:2C:3D:4E:5G", {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x05}},
      {"0A:1B:2C:3D:4E:G5", {0x0A, 0x1B, 0x2C, 0x3D, 0x4E}},
      {"0A:1B: :3D:4E:5F0", {0x0A, 0x1B}},
  };
  // The bytes around the MAC in the header must not move.
  const DatagramHeader untouched;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("\"") + c.text + "\"");
    std::uint8_t parsed[6];
    std::memset(parsed, 0xEE, sizeof parsed);
    ParseMacText(c.text, parsed);
    EXPECT_EQ(Hex(parsed, 6), Hex(c.bytes.data(), 6));

    Service().settings().SetMacText(c.text);
    EXPECT_EQ(Hex(Service().settings().macBytes().data(), 6),
              Hex(c.bytes.data(), 6));
    DatagramHeader header;
    header.SetStationMac(Service().settings().macBytes().data());
    EXPECT_EQ(Hex(header.bytes() + 16, 6), Hex(c.bytes.data(), 6));
    EXPECT_EQ(Hex(header.bytes(), 16), Hex(untouched.bytes(), 16));
    EXPECT_EQ(Hex(header.bytes() + 22, kHeaderSize - 22),
              Hex(untouched.bytes() + 22, kHeaderSize - 22));
  }
}

TEST_F(StationTest, AdaptersAreListedInOrderAsUppercaseGroups) {
  env_.adapters = {{0x0a, 0xbc, 0xde, 0xf0, 0x01, 0x23},
                   {0x00, 0x11, 0x22, 0x33, 0x44, 0x55},
                   {1, 2, 3, 4, 5, 6, 7, 8}};
  std::vector<std::string> list = {"kept"};
  ListAdapterMacs(env_, &list);
  EXPECT_EQ(list, (std::vector<std::string>{"kept", "0A:BC:DE:F0:01:23",
                                            "00:11:22:33:44:55",
                                            "01:02:03:04:05:06:07:08"}));
  EXPECT_EQ(FirstAdapterMac(env_), "0A:BC:DE:F0:01:23");

  env_.adapters.emplace();
  EXPECT_EQ(FirstAdapterMac(env_), "");
}

TEST_F(StationTest, TheFirstAdapterBecomesTheStationMac) {
  env_.adapters = {{0x0a, 0xbc, 0xde, 0xf0, 0x01, 0x23},
                   {0x00, 0x11, 0x22, 0x33, 0x44, 0x55}};
  EXPECT_EQ(Service().settings().GetMacText(), "0A:BC:DE:F0:01:23");
  // On the wire: every datagram carries it.
  OpenLink();
  Service().banks().PutEvent("e", "1");
  Service().ManagementCycle();
  const std::vector<Bytes> sent = TakeQueued(Service().link());
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(Hex(sent[0].data() + 16, 6), "0A BC DE F0 01 23 ");
}

// A longer hardware address is kept as its text, but is no six-byte MAC.
TEST_F(StationTest, AnEightByteFirstAdapterGivesAZeroStationMac) {
  env_.adapters = {{1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(Service().settings().GetMacText(), "01:02:03:04:05:06:07:08");
  EXPECT_EQ(Hex(Service().settings().macBytes().data(), 6),
            "00 00 00 00 00 00 ");
  EXPECT_NE(ReadFile(ConfigPath()).find("MAC=01:02:03:04:05:06:07:08"),
            std::string::npos)
      << ReadFile(ConfigPath());
}

// The machine's own adapters, through the platform's real listing.
TEST_F(StationTest, RealAdaptersGiveWellFormedTexts) {
  env_.adapters.reset();
  std::vector<std::string> list;
  ListAdapterMacs(env_, &list);
  const std::regex form("[0-9A-F]{2}(:[0-9A-F]{2})*");
  for (const std::string& text : list)
    EXPECT_TRUE(std::regex_match(text, form)) << text;
}

}  // namespace
}  // namespace pelmora::testing

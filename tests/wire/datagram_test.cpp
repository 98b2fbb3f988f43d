#include "datagram.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "point_mirror.h"
#include "support/datagram_bytes.h"
#include "support/udp_sender.h"
#include "udp_receiver.h"

namespace pelmora::wire {
namespace {

using testing::BuildDatagram;
using testing::Bytes;
using testing::GoldenItem;
using testing::Hex;
using testing::ToHex;

const std::array<std::uint8_t, 6> kMac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};

Datagram ParseOrFail(const Bytes& bytes) {
  Datagram datagram;
  std::string error;
  EXPECT_TRUE(ParseDatagram(bytes.data(), bytes.size(), &datagram, &error))
      << error;
  return datagram;
}

TEST(ParseDatagram, ReadsEachKind) {
  struct Case {
    const char* name;
    Bytes bytes;
    std::size_t size;
    std::uint8_t kind;
    std::vector<std::string> records;
  };
  const Case cases[] = {
      {"item", GoldenItem(), 41, kKindItem, {"P1|12.5"}},
      {"event",
       Hex("ffffffff 02000001 02ffffff 17000000 001122334455 "
           "ffffffffffffffffffff"
           "0a00 616c61726d7c68696768 0900 646f6f727c6f70656e"),
       55,
       kKindEvent,
       {"alarm|high", "door|open"}},
      {"snapshot",
       Hex("ffffffff 02000001 ffffffff 0f000000 001122334455 "
           "ffffffffffffffffffff"
           "0300 417c31 0300 427c32 0300 437c33"),
       47,
       kKindSnapshot,
       {"A|1", "B|2", "C|3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.bytes.size(), c.size);
    const Datagram datagram = ParseOrFail(c.bytes);
    EXPECT_EQ(datagram.kind, c.kind);
    EXPECT_EQ(datagram.mac, kMac);
    EXPECT_EQ(datagram.records, c.records);
  }
}

TEST(ParseDatagram, AcceptsTheLargestDatagram) {
  const Bytes bytes = BuildDatagram(kKindItem, {std::string(989, 'x')});
  ASSERT_EQ(bytes.size(), kMaxDatagramSize);
  EXPECT_EQ(ParseOrFail(bytes).records.at(0).size(), 989u);
}

TEST(ParseDatagram, RejectsMalformed) {
  auto prefix = [](std::size_t length) {
    Bytes bytes = GoldenItem();
    bytes.resize(length);
    return bytes;
  };
  auto golden = [](std::size_t at, std::uint8_t value) {
    Bytes bytes = GoldenItem();
    bytes.at(at) = value;
    return bytes;
  };
  Bytes trailing = GoldenItem();
  trailing.push_back(0x00);
  trailing[12] = 10;
  Bytes zeroRecords = prefix(32);
  zeroRecords[12] = 0;
  const Bytes oversize = BuildDatagram(kKindItem, {std::string(990, 'x')});

  // The reason is the name the gateway's counters report it under.
  struct Case {
    const char* name;
    Bytes bytes;
    const char* reason;
    const char* error;
  };
  const Case cases[] = {
      {"short header", prefix(20), "too_short",
       "20 bytes, shorter than the 32-byte header"},
      {"bad version byte", golden(5, 0x01), "fixed_byte",
       "header byte 5 is 01, expected 00"},
      {"bad byte after kind", golden(10, 0x00), "fixed_byte",
       "header byte 10 is 00, expected FF"},
      {"bad last header byte", golden(31, 0xFE), "fixed_byte",
       "header byte 31 is FE, expected FF"},
      {"unknown kind", golden(8, 0x03), "unknown_kind", "unknown kind 03"},
      {"payload length mismatch", golden(12, 20), "length_mismatch",
       "payload length 20 but 9 bytes follow the header"},
      {"payload length high byte", golden(15, 1), "length_mismatch",
       "payload length 16777225 but 9 bytes follow the header"},
      {"truncated record", golden(32, 8), "record_overrun",
       "record 1 at offset 32 claims 8 bytes but 7 remain"},
      {"trailing garbage", trailing, "record_overrun",
       "1 stray byte at offset 41 after record 1"},
      {"zero records", zeroRecords, "no_record", "no record after the header"},
      {"over 1023 bytes", oversize, "too_long",
       "1024 bytes, over the 1023-byte maximum"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ": " + ToHex(c.bytes));
    Datagram datagram;
    std::string error;
    Malformed reason{};
    EXPECT_FALSE(ParseDatagram(c.bytes.data(), c.bytes.size(), &datagram,
                               &error, &reason));
    EXPECT_EQ(error, c.error);
    EXPECT_STREQ(MalformedName(reason), c.reason);
    EXPECT_TRUE(datagram.records.empty());
  }
}

TEST(Escape, ShowsOnlyPrintableAsciiAsIs) {
  const std::pair<std::string, std::string> cases[] = {
      {"P1|12.5 ~", "P1|12.5 ~"},
      {"a\\b", "a\\x5cb"},
      {"caf\xe9", "caf\\xe9"},
      {std::string("\0\n\x1b[2J\x7f", 7), "\\x00\\x0a\\x1b[2J\\x7f"},
  };
  for (const auto& [text, shown] : cases) {
    EXPECT_EQ(Escape(text), shown) << ToHex(Bytes(text.begin(), text.end()));
  }
  EXPECT_EQ(MacText({0x00, 0x11, 0xab, 0x33, 0x44, 0xff}), "00-11-AB-33-44-FF");
}

TEST(PointMirror, SnapshotThenChanges) {
  PointMirror mirror;
  mirror.Apply({kKindSnapshot, kMac, {"A|1", "B|2", "C|3"}});
  mirror.Apply(
      {kKindSnapshot, kMac, {"D|4"}});  // second part of the same snapshot
  mirror.Apply({kKindItem, kMac, {"B|20", "C|x|y", "E"}});
  mirror.Apply({kKindEvent, kMac, {"door|open", "A|99"}});
  mirror.Apply({kKindEvent, kMac, {"alarm|high"}});

  const std::map<std::string, std::string> expected = {
      {"A", "1"}, {"B", "20"}, {"C", "x|y"}, {"D", "4"}, {"E", ""}};
  EXPECT_EQ(mirror.points(), expected);
  EXPECT_EQ(mirror.tally(kKindSnapshot).datagrams, 2u);
  EXPECT_EQ(mirror.tally(kKindSnapshot).records, 4u);
  EXPECT_EQ(mirror.tally(kKindItem).records, 3u);
  EXPECT_EQ(mirror.tally(kKindEvent).datagrams, 2u);
  EXPECT_EQ(mirror.tally(kKindEvent).records, 3u);
}

TEST(UdpReceiver, KeepsOversizeWholeAndAbsorbsBursts) {
  UdpReceiver receiver;
  std::string error;
  ASSERT_TRUE(receiver.Open("127.0.0.1", 0, &error)) << error;
  ASSERT_NE(receiver.port(), 0);
  testing::Sender sender(receiver.port());

  Bytes received;
  EXPECT_FALSE(receiver.Receive(&received, 20));
  sender.Send(Bytes(5000, 0xAB));
  ASSERT_TRUE(receiver.Receive(&received, 1000));
  EXPECT_EQ(received.size(), 5000u);

  // Without privilege the system's cap bounds any socket's buffer; up to the
  // cap, the receiver must get what a burst needs.
  constexpr int kWanted = 4 * 1024 * 1024;
  int systemCap = 0;
  std::ifstream("/proc/sys/net/core/rmem_max") >> systemCap;
  if (receiver.receive_buffer_bytes() < kWanted) {
    ASSERT_LT(systemCap, kWanted)
        << "buffer of " << receiver.receive_buffer_bytes();
    GTEST_SKIP() << "receive buffer capped at " << systemCap;
  }
  constexpr int kBurst = 3000;
  const Bytes datagram = BuildDatagram(kKindItem, {std::string(200, 'v')});
  for (int i = 0; i < kBurst; ++i) sender.Send(datagram);
  int count = 0;
  while (receiver.Receive(&received, 100)) ++count;
  EXPECT_EQ(count, kBurst);
}

}  // namespace
}  // namespace pelmora::wire

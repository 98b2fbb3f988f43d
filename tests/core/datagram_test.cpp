// Datagram bytes and how the assembler packs records into them.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/datagrams.h"
#include "support/fake_env.h"
#include "transport/assembler.h"

namespace pelmora::testing {
namespace {

constexpr RecordKind Item = RecordKind::kItem;
constexpr RecordKind Event = RecordKind::kEvent;

// The assembler alone, over an open link whose queue the test reads.
class AssemblerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    header_.SetStationMac(mac);
    UdpLink::OpenStep failedStep;
    OsError error;
    ASSERT_TRUE(link_.Open(&failedStep, &error));
  }
  bool Append(const std::string& text, RecordKind kind = Item) {
    return assembler_.AppendRecord(text, kind, FlushMode::kAppend);
  }
  void Flush(RecordKind kind = Item) {
    assembler_.AppendRecord({}, kind, FlushMode::kFlush);
  }
  std::vector<Bytes> Queued() { return TakeQueued(link_); }

  FakeEnv env_;
  ServiceLog log_{env_, "unused"};
  Settings settings_{env_, log_};
  ManualEvent stop_;
  UdpLink link_{env_, settings_, stop_};
  DatagramHeader header_;
  Assembler assembler_{env_, link_, header_, stop_};
};

const char kItemP1[] =
    "FF FF FF FF 02 00 00 01 01 FF FF FF 09 00 00 00 "
    "00 11 22 33 44 55 FF FF FF FF FF FF FF FF FF FF "
    "07 00 50 31 7C 31 32 2E 35";

TEST_F(AssemblerTest, AnItemDatagramIsByteForByteTheWireFormat) {
  Append("P1|12.5");
  Flush();
  EXPECT_EQ(Queued(), std::vector<Bytes>{Hex(kItemP1)});
}

TEST_F(AssemblerTest, AnEventDatagramCarriesKindTwo) {
  Append("alarm|high", Event);
  Append("door|open", Event);
  Flush(Event);
  const Bytes expected =
      Hex("FF FF FF FF 02 00 00 01 02 FF FF FF 17 00 00 00 "
          "00 11 22 33 44 55 FF FF FF FF FF FF FF FF FF FF "
          "0A 00 61 6C 61 72 6D 7C 68 69 67 68 09 00 64 6F "
          "6F 72 7C 6F 70 65 6E");
  EXPECT_EQ(Queued(), std::vector<Bytes>{expected});
}

TEST_F(AssemblerTest, ASnapshotBufferDiffersOnlyInTheKindByte) {
  DatagramBuffer buffer;
  buffer.AppendPair("P1", "12.5");
  buffer.Finish(header_, 0xFF);
  Bytes expected = Hex(kItemP1);
  expected[8] = 0xFF;
  EXPECT_EQ(Bytes(buffer.bytes, buffer.bytes + buffer.length), expected);
}

TEST_F(AssemblerTest, BeforeAnyMacIsSetTheStationBytesAreFF) {
  DatagramBuffer buffer;
  buffer.Append("x");
  buffer.Finish(DatagramHeader(), 0x01);
  EXPECT_TRUE(std::all_of(buffer.bytes + 16, buffer.bytes + 22,
                          [](std::uint8_t b) { return b == 0xFF; }));
}

TEST_F(AssemblerTest, PackingStopsShortOf1024Bytes) {
  struct Case {
    std::vector<std::size_t> texts;
    std::vector<std::size_t> datagramLengths;
  } cases[] = {
      {{989}, {1023}},
      {{989, 1}, {1023, 35}},
      {{493, 493}, {1022}},
      {{494, 494}, {528, 528}},
      {std::vector<std::size_t>(10, 98), {932, 132}},
  };
  for (const Case& c : cases) {
    for (std::size_t n : c.texts) Append(std::string(n, 'r'));
    Flush();
    std::vector<std::size_t> lengths;
    for (const Bytes& d : Queued()) {
      lengths.push_back(d.size());
      EXPECT_EQ(d[12] | d[13] << 8, static_cast<int>(d.size()) - 32);
    }
    EXPECT_EQ(lengths, c.datagramLengths) << "record count " << c.texts.size();
  }
}

TEST_F(AssemblerTest, TheCallThatFinishesADatagramDecidesItsKind) {
  Append(std::string(989, 'i'));
  Append("e|1", Event);
  Flush(Event);
  std::vector<Bytes> sent = Queued();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(KindOf(sent[0]), 0x02);
  EXPECT_EQ(KindOf(sent[1]), 0x02);
}

TEST_F(AssemblerTest, AFlushOfAnEmptyBufferSendsNothing) {
  Flush();
  Flush(Event);
  EXPECT_TRUE(Queued().empty());
}

TEST_F(AssemblerTest, DisabledKindsAreDroppedAndTheBufferStartsAfresh) {
  link_.SetEnableFlags(kEnableEvents);
  Append("item|1");
  Flush();
  Append("event|1", Event);
  Flush(Event);
  std::vector<Bytes> sent = Queued();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(RecordsOf(sent[0]), std::vector<std::string>{"event|1"});
}

TEST_F(AssemblerTest, WithoutASocketFinishedDatagramsAreDropped) {
  link_.Close();
  Append(std::string(989, 'a'));
  Append("b|1");
  UdpLink::OpenStep failedStep;
  OsError error;
  ASSERT_TRUE(link_.Open(&failedStep, &error));
  Flush();
  EXPECT_EQ(RecordsOf(Queued().at(0)), std::vector<std::string>{"b|1"});
}

TEST_F(AssemblerTest, ARecordNoDatagramCanCarryIsDroppedWhole) {
  EXPECT_TRUE(Append("keep|1"));
  EXPECT_FALSE(Append(std::string(990, 'x')));
  EXPECT_TRUE(Append("also|2"));
  Flush();
  std::vector<Bytes> sent = Queued();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(RecordsOf(sent[0]), (std::vector<std::string>{"keep|1", "also|2"}));
}

TEST_F(AssemblerTest, EveryTenthCallPausesFiftyMilliseconds) {
  for (int round = 0; round < 2; ++round) {
    for (int call = 1; call <= 40; ++call) {
      if (call % 3) {
        Append("x|1");
      } else {
        Flush();
      }
      EXPECT_EQ(env_.Sleeps().size(), static_cast<std::size_t>(call / 10))
          << call;
    }
    for (std::uint32_t ms : env_.Sleeps()) EXPECT_EQ(ms, 50u);
    // A count reset starts the rhythm afresh.
    Append("y|1");
    assembler_.ResetPacing();
    env_.ClearSleeps();
  }
}

}  // namespace
}  // namespace pelmora::testing

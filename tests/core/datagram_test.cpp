// Datagram bytes and how the assembler packs records into them.
#include <algorithm>

#include "support/datagrams.h"
#include "support/service_fixture.h"

namespace pelmora::testing {
namespace {

class AssemblerTest : public ServiceTest {
 protected:
  void SetUp() override {
    Service().SetMacText("00:11:22:33:44:55");
    Service().ApplyMac();
    Service().channel().udpSocket = 5;
  }
  void Append(const std::string& text, int kind = Item) {
    Service().AppendRecord(text, kind, 0);
  }
  void Flush(int kind = Item) { Service().AppendRecord({}, kind, 1); }
  std::vector<Bytes> Queued() { return TakeQueued(Service()); }
};

const char kItemP1[] =
    "FF FF FF FF 02 00 00 01 01 FF FF FF 09 00 00 00 "
    "00 11 22 33 44 55 FF FF FF FF FF FF FF FF FF FF "
    "07 00 50 31 7C 31 32 2E 35";

TEST_F(AssemblerTest, AnItemDatagramIsByteForByteTheWireFormat) {
  Append("P1|12.5");
  Flush();
  EXPECT_EQ(Queued(), std::vector<Bytes>{HexBytes(kItemP1)});
}

TEST_F(AssemblerTest, AnEventDatagramCarriesKindTwo) {
  Append("alarm|high", Event);
  Append("door|open", Event);
  Flush(Event);
  const Bytes expected = HexBytes(
      "FF FF FF FF 02 00 00 01 02 FF FF FF 17 00 00 00 "
      "00 11 22 33 44 55 FF FF FF FF FF FF FF FF FF FF "
      "0A 00 61 6C 61 72 6D 7C 68 69 67 68 09 00 64 6F "
      "6F 72 7C 6F 70 65 6E");
  EXPECT_EQ(Queued(), std::vector<Bytes>{expected});
}

TEST_F(AssemblerTest, ASnapshotBufferDiffersOnlyInTheKindByte) {
  DatagramBuffer buffer;
  buffer.AppendPair("P1", "12.5");
  buffer.Finish();
  Bytes expected = HexBytes(kItemP1);
  expected[8] = 0xFF;
  EXPECT_EQ(Bytes(buffer.bytes, buffer.bytes + buffer.length), expected);
}

TEST_F(AssemblerTest, BeforeAnyMacIsAppliedTheStationBytesAreFF) {
  // The template as the library starts with it, restored after the check.
  std::uint8_t saved[6];
  std::copy(HeaderTemplate + 16, HeaderTemplate + 22, saved);
  std::fill(HeaderTemplate + 16, HeaderTemplate + 22, 0xFF);
  DatagramBuffer buffer;
  buffer.Append("x");
  buffer.Finish();
  std::copy(saved, saved + 6, HeaderTemplate + 16);
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
  Service().channel().enableFlags = kEnableEvents;
  Append("item|1");
  Flush();
  Append("event|1", Event);
  Flush(Event);
  std::vector<Bytes> sent = Queued();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(RecordsOf(sent[0]), std::vector<std::string>{"event|1"});
}

TEST_F(AssemblerTest, WithoutASocketFinishedDatagramsAreDropped) {
  Service().channel().udpSocket = kInvalidSocket;
  Append(std::string(989, 'a'));
  Append("b|1");
  Service().channel().udpSocket = 5;
  Flush();
  EXPECT_EQ(RecordsOf(Queued().at(0)), std::vector<std::string>{"b|1"});
}

TEST_F(AssemblerTest, ARecordNoDatagramCanCarryIsDroppedWithALogLine) {
  Append("keep|1");
  Append(std::string(990, 'x'));
  Append("also|2");
  Flush();
  std::vector<Bytes> sent = Queued();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(RecordsOf(sent[0]), (std::vector<std::string>{"keep|1", "also|2"}));
  EXPECT_NE(Log().back().find("990"), std::string::npos);
}

TEST_F(AssemblerTest, EveryTenthCallPausesFiftyMilliseconds) {
  // The count runs across the library's life: find where this test's calls
  // fall in it, then check the rhythm.
  env_.ClearSleeps();
  int firstPause = -1;
  for (int call = 1; call <= 40; ++call) {
    call % 3 ? Append("x|1") : Flush();
    std::vector<std::uint32_t> sleeps = env_.Sleeps();
    if (!sleeps.empty() && firstPause < 0) firstPause = call;
    if (firstPause > 0) {
      EXPECT_EQ(sleeps.size(),
                static_cast<std::size_t>((call - firstPause) / 10 + 1))
          << call;
    }
  }
  EXPECT_GE(firstPause, 1);
  EXPECT_LE(firstPause, 10);
  for (std::uint32_t ms : env_.Sleeps()) EXPECT_EQ(ms, 50u);
}

}  // namespace
}  // namespace pelmora::testing

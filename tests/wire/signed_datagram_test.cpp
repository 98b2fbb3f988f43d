// The server's side of the command wire: the reader of commands and
// replies, the signing, and the station keys. Datagrams are laid out here
// by hand and signed with OpenSSL directly, apart from the tools' encoder.
#include "signed_datagram.h"

#include <gtest/gtest.h>
#include <openssl/hmac.h>

#include <string>
#include <vector>

#include "command_signing.h"
#include "support/datagram_bytes.h"

namespace pelmora::wire {
namespace {

using testing::Bytes;
using testing::Hex;
using testing::ToHex;

StationKey GuideKey() {
  StationKey key;
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = std::uint8_t(i);
  return key;
}

void PutU32(Bytes* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(std::uint8_t(value >> 8 * i));
}

Bytes Hmac(const Bytes& bytes) {
  const StationKey key = GuideKey();
  unsigned char out[32];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), int(key.size()), bytes.data(), bytes.size(),
       out, &length);
  return Bytes(out, out + length);
}

// A command of station 00:11:22:33:44:55 under the guide's nonce: `body`
// after the command byte, then the signature.
Bytes Command(std::uint8_t command, const Bytes& body,
              std::uint32_t sequence = 1, std::uint32_t notAfter = 5000) {
  Bytes bytes = Hex(
      "ffffffff 02000001 03ffffff 00000000 001122334455 ffffffffffffffffffff"
      "a1b2c3d4e5f60718");
  PutU32(&bytes, sequence);
  PutU32(&bytes, notAfter);
  bytes.push_back(command);
  bytes.insert(bytes.end(), body.begin(), body.end());
  bytes[12] = std::uint8_t(bytes.size());  // + 32 signature - 32 header
  bytes[13] = std::uint8_t(bytes.size() >> 8);
  const Bytes mac = Hmac(bytes);
  bytes.insert(bytes.end(), mac.begin(), mac.end());
  return bytes;
}

Bytes WriteBody(const std::string& name, const std::string& value) {
  Bytes body;
  for (const std::string* text : {&name, &value}) {
    body.push_back(std::uint8_t(text->size()));
    body.push_back(std::uint8_t(text->size() >> 8));
    body.insert(body.end(), text->begin(), text->end());
  }
  return body;
}

TEST(SignedDatagram, ReadsCommandsAndRepliesAndSaysWhatBreaksThem) {
  // 1023 bytes: a value of 1023 - 81 - 2 - 3 - 2.
  const Bytes largest = Command(0x01, WriteBody("SP1", std::string(935, 'v')));
  ASSERT_EQ(largest.size(), 1023u);
  Bytes stray = Command(0x01, WriteBody("SP1", "42.5"));
  stray.insert(stray.end() - 32, 0x00);
  stray[12] += 1;
  Bytes reply = Hex(
      "ffffffff 02000001 04ffffff 46000000 001122334455 ffffffffffffffffffff"
      "a1b2c3d4e5f60718 09000000 0306 00112233445566778899aabbccddeeff"
      "10270000 0c000000");
  reply.resize(102, 0xEE);
  struct Case {
    const char* what;
    Bytes bytes;
    std::string read;  // DescribeSigned, or the error
  };
  const Case cases[] = {
      {"write", Command(0x01, WriteBody("SP1", "42.5")),
       "write sequence 1 (not after 5000 ms)"},
      {"largest write", largest, "write sequence 1 (not after 5000 ms)"},
      {"one byte more", Command(0x01, WriteBody("SP1", std::string(936, 'v'))),
       "command of 1024 bytes, outside 81 to 1023"},
      {"smallest snapshot", Command(0x02, {}, 2, 0xFFFFFFFF),
       "snapshot sequence 2 (not after 4294967295 ms)"},
      {"fence", Command(0x03, {}, 7, 0), "fence sequence 7 (not after 0 ms)"},
      {"unknown command", Command(0x09, {1, 2, 3}),
       "unknown command sequence 1 (not after 5000 ms)"},
      {"snapshot with a body", Command(0x02, {0}), "a snapshot takes no body"},
      {"fence with a body", Command(0x03, {0}), "a fence takes no body"},
      {"one byte short", Bytes(largest.begin(), largest.begin() + 80),
       "command of 80 bytes, outside 81 to 1023"},
      {"stray byte before the signature", stray,
       "write body does not end at the signature"},
      {"value past the signature",
       Command(0x01, Bytes{3, 0, 'S', 'P', '1', 40, 0}),
       "write body does not end at the signature"},
      {"reply", reply,
       "refused sequence 9: old sequence (answers 00112233, clock 10000 ms, "
       "latest 12)"},
      {"reply one short", Bytes(reply.begin(), reply.end() - 1),
       "reply of 101 bytes, not 102"},
  };
  for (const Case& c : cases) {
    SignedDatagram read;
    std::string error;
    const bool parsed =
        ParseSignedDatagram(c.bytes.data(), c.bytes.size(), &read, &error);
    EXPECT_EQ(parsed ? DescribeSigned(read) : error, c.read) << c.what;
  }
  SignedDatagram read;
  ASSERT_TRUE(ParseSignedDatagram(reply.data(), reply.size(), &read, nullptr));
  EXPECT_EQ(ToHex(Bytes(read.answers.begin(), read.answers.end())),
            "00112233445566778899aabbccddeeff");
  ASSERT_TRUE(
      ParseSignedDatagram(largest.data(), largest.size(), &read, nullptr));
  EXPECT_EQ(read.value, std::string(935, 'v'));
  EXPECT_EQ(Bytes(read.nonce.begin(), read.nonce.end()),
            Hex("a1b2c3d4e5f60718"));
}

TEST(CommandSigning, SealsWhatTheStationReadsAndHoldsOnlyItsOwnSignature) {
  const Mac mac = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  const Nonce nonce = {0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6, 0x07, 0x18};
  const struct {
    std::uint8_t command;
    std::uint32_t sequence, notAfter;
    std::string name, value;
    Bytes expected;
  } cases[] = {
      {0x01, 1, 5000, "SP1", "42.5", Command(0x01, WriteBody("SP1", "42.5"))},
      {0x02, 2, 6000, "", "", Command(0x02, {}, 2, 6000)},
      {0x03, 3, 7000, "", "", Command(0x03, {}, 3, 7000)},
      // 1023 bytes, the most a station reads.
      {0x01, 4, 5000, "SP1", std::string(935, 'v'),
       Command(0x01, WriteBody("SP1", std::string(935, 'v')), 4)},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> sealed;
    ASSERT_TRUE(SealCommand(GuideKey(), mac, nonce, c.sequence, c.notAfter,
                            c.command, c.name, c.value, &sealed))
        << "sequence " << c.sequence;
    EXPECT_EQ(ToHex(sealed), ToHex(c.expected)) << int(c.command);
    const Digest digest = DigestOf(sealed.data(), sealed.size());
    EXPECT_EQ(ToHex(Bytes(digest.begin(), digest.end())),
              ToHex(Bytes(c.expected.end() - 32, c.expected.end() - 16)));
  }
  std::vector<std::uint8_t> sealed;
  EXPECT_FALSE(SealCommand(GuideKey(), mac, nonce, 1, 0, 0x01, "SP1",
                           std::string(936, 'v'), &sealed));

  // Any byte changed, of the signature or what it signs, and it fails.
  const Bytes write = Command(0x01, WriteBody("SP1", "42.5"));
  EXPECT_TRUE(SignatureHolds(GuideKey(), write.data(), write.size()));
  for (const std::size_t at :
       {std::size_t{0}, std::size_t{40}, write.size() - 32, write.size() - 17,
        write.size() - 2}) {
    Bytes changed = write;
    changed[at] ^= 0x01;
    EXPECT_FALSE(SignatureHolds(GuideKey(), changed.data(), changed.size()))
        << "byte " << at;
  }
  StationKey other = GuideKey();
  other[31] ^= 0x80;
  EXPECT_FALSE(SignatureHolds(other, write.data(), write.size()));
}

TEST(CommandSigning, KeyIsExactly64HexDigitsOfEitherCase) {
  const std::string lower =
      "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
  std::string upper = lower;
  for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
  const struct {
    std::string text;
    bool read;
  } cases[] = {
      {lower, true},
      {upper, true},
      {lower + "00", false},
      {lower + "0", false},
      {lower.substr(2), false},
      {lower.substr(1), false},
      {" " + lower, false},
      {lower.substr(0, 63) + "g", false},
      {"", false},
  };
  for (const auto& c : cases) {
    StationKey key{};
    EXPECT_EQ(ParseStationKey(c.text, &key), c.read) << c.text;
    if (c.read) {
      EXPECT_EQ(key, GuideKey()) << c.text;
    }
  }
}

}  // namespace
}  // namespace pelmora::wire

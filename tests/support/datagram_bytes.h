// Datagram bytes written out by hand or built from records, for the tests
// of the plug-in, the tools, the dissector and the packages, the
// benchmarks and the fuzz target of the datagram reader. The encoder here
// is written apart from both the plug-in's and the tools' so that each
// checks the other.
#ifndef PELMORA_TESTS_SUPPORT_DATAGRAM_BYTES_H_
#define PELMORA_TESTS_SUPPORT_DATAGRAM_BYTES_H_

#include <array>
#include <cctype>
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace pelmora::testing {

using Bytes = std::vector<std::uint8_t>;

// Hex digits, two to a byte; spaces and anything else between them ignored.
inline Bytes Hex(const std::string& text) {
  Bytes bytes;
  std::string digits;
  for (const char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes.push_back(
        static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

inline std::string ToHex(const Bytes& bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t b : bytes) {
    text += kHex[b >> 4];
    text += kHex[b & 0x0F];
  }
  return text;
}

// The example datagrams of the protocol guide at `path` whose kind byte is
// among `kinds`: its hex dump lines, each an offset of four hex digits, two
// blanks and the bytes; offset 0000 begins the next datagram.
inline std::vector<Bytes> GuideExamples(const std::string& path,
                                        const Bytes& kinds) {
  std::ifstream guide(path);
  std::vector<Bytes> dumps;
  for (std::string line; std::getline(guide, line);) {
    const bool dumpLine =
        line.size() > 6 && line.compare(4, 2, "  ") == 0 &&
        std::all_of(line.begin(), line.begin() + 4,
                    [](char c) { return std::isxdigit(c) != 0; });
    if (!dumpLine) continue;
    if (line.compare(0, 4, "0000") == 0) dumps.emplace_back();
    if (dumps.empty()) continue;
    const Bytes bytes = Hex(line.substr(6));
    dumps.back().insert(dumps.back().end(), bytes.begin(), bytes.end());
  }
  std::vector<Bytes> kept;
  for (Bytes& dump : dumps) {
    if (dump.size() > 8 &&
        std::find(kinds.begin(), kinds.end(), dump[8]) != kinds.end())
      kept.push_back(std::move(dump));
  }
  return kept;
}

// Item datagram "P1|12.5" from station 00-11-22-33-44-55.
inline Bytes GoldenItem() {
  return Hex(
      "ffffffff 02000001 01ffffff 09000000 001122334455 ffffffffffffffffffff"
      "0700 50317c31322e35");
}

// A datagram of `kind` holding `records`, from station `mac`.
inline Bytes BuildDatagram(std::uint8_t kind,
                           const std::vector<std::string>& records,
                           const std::array<std::uint8_t, 6>& mac = {
                               0x00, 0x11, 0x22, 0x33, 0x44, 0x55}) {
  Bytes bytes = Hex(
      "ffffffff 02000001 00ffffff 00000000 000000000000 ffffffffffffffffffff");
  bytes[8] = kind;
  std::copy(mac.begin(), mac.end(), bytes.begin() + 16);
  for (const std::string& record : records) {
    bytes.push_back(static_cast<std::uint8_t>(record.size()));
    bytes.push_back(static_cast<std::uint8_t>(record.size() >> 8));
    bytes.insert(bytes.end(), record.begin(), record.end());
  }
  const std::size_t payload = bytes.size() - 32;
  for (int i = 0; i < 4; ++i)
    bytes[12 + i] = static_cast<std::uint8_t>(payload >> (8 * i));
  return bytes;
}

}  // namespace pelmora::testing

#endif  // PELMORA_TESTS_SUPPORT_DATAGRAM_BYTES_H_

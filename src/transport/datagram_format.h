// The one datagram layout sent to the server: a 32-byte header followed by
// records, each a 16-bit little-endian length and that many bytes of text.
//
//   0..3   FF FF FF FF        fixed
//   4..7   02 00 00 01        fixed
//   8      kind               01 item, 02 event, FF snapshot
//   9..11  FF FF FF           fixed
//   12..15 payload length     u32 LE, datagram length minus 32
//   16..21 station MAC        from the DatagramHeader
//   22..31 FF x 10            fixed
#ifndef PELMORA_TRANSPORT_DATAGRAM_FORMAT_H_
#define PELMORA_TRANSPORT_DATAGRAM_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace pelmora {

inline constexpr std::uint32_t kHeaderSize = 32;
inline constexpr std::uint32_t kBufferSize = 1024;
// A datagram is at most 1023 bytes, so one record's text at most 989.
inline constexpr std::uint32_t kMaxRecordText =
    kBufferSize - 1 - kHeaderSize - 2;

inline constexpr std::uint8_t kKindItem = 0x01;
inline constexpr std::uint8_t kKindEvent = 0x02;
inline constexpr std::uint8_t kKindSnapshot = 0xFF;

// The header every datagram starts from: the fixed bytes, and the station
// MAC, set before any worker thread runs and not changed afterwards.
class DatagramHeader {
 public:
  DatagramHeader();
  // Bytes 16..21: the six bytes at `mac`.
  void SetStationMac(const std::uint8_t* mac);
  const std::uint8_t* bytes() const { return bytes_; }

 private:
  std::uint8_t bytes_[kHeaderSize];
};

// Copies n bytes with fixed-size moves that the compiler inlines: point
// names and values are short, and a library call per piece costs more
// than the copy. Writes exactly [to, to + n).
inline void CopyShort(std::uint8_t* to, const char* from, std::size_t n) {
  if (n >= 16) {
    if (n > 32) {
      std::memcpy(to, from, n);
      return;
    }
    std::memcpy(to, from, 16);
    std::memcpy(to + n - 16, from + n - 16, 16);
  } else if (n >= 8) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else {
    for (std::size_t i = 0; i < n; ++i)
      to[i] = static_cast<std::uint8_t>(from[i]);
  }
}

// A datagram under construction: header room, then records.
struct DatagramBuffer {
  std::uint8_t bytes[kBufferSize] = {};
  std::uint32_t length = kHeaderSize;

  bool HasRecords() const { return length > kHeaderSize; }
  // Whether a record of `textLength` bytes still fits behind what is there.
  bool Fits(std::size_t textLength) const {
    return length + 2 + textLength < kBufferSize;
  }
  // Requires: Fits(text.size()).
  void Append(std::string_view text);
  // Appends the record "name|value". Requires: Fits(its length).
  // Inline: the snapshot calls it for every point.
  void AppendPair(std::string_view name, std::string_view value) {
    const std::size_t n = name.size() + 1 + value.size();
    std::uint8_t* at = bytes + length;
    at[0] = static_cast<std::uint8_t>(n & 0xFF);
    at[1] = static_cast<std::uint8_t>((n >> 8) & 0xFF);
    CopyShort(at + 2, name.data(), name.size());
    at[2 + name.size()] = '|';
    CopyShort(at + 3 + name.size(), value.data(), value.size());
    length += 2 + static_cast<std::uint32_t>(n);
  }
  // Writes the header: `header`'s bytes, `kind` and the payload length.
  void Finish(const DatagramHeader& header, std::uint8_t kind);
  // Back to the header alone.
  void Reset();
};

// How many records the finished datagram of `length` bytes holds.
std::size_t CountRecords(const std::uint8_t* bytes, std::uint32_t length);

}  // namespace pelmora

#endif  // PELMORA_TRANSPORT_DATAGRAM_FORMAT_H_

#include "transport/datagram_format.h"

#include <cstring>

namespace pelmora {

namespace {

// Until a MAC is set the station bytes are FF like the fixed ones.
constexpr std::uint8_t kTemplate[kHeaderSize] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0xFF,
    0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

std::uint8_t* PutLength(std::uint8_t* at, std::size_t n) {
  at[0] = static_cast<std::uint8_t>(n & 0xFF);
  at[1] = static_cast<std::uint8_t>((n >> 8) & 0xFF);
  return at + 2;
}

}  // namespace

DatagramHeader::DatagramHeader() {
  std::memcpy(bytes_, kTemplate, kHeaderSize);
}

void DatagramHeader::SetStationMac(const std::uint8_t* mac) {
  std::memcpy(bytes_ + 16, mac, 6);
}

void DatagramBuffer::Append(std::string_view text) {
  std::uint8_t* at = PutLength(bytes + length, text.size());
  if (!text.empty()) std::memcpy(at, text.data(), text.size());
  length += 2 + static_cast<std::uint32_t>(text.size());
}

void DatagramBuffer::Finish(const DatagramHeader& header, std::uint8_t kind) {
  std::memcpy(bytes, header.bytes(), kHeaderSize);
  bytes[8] = kind;
  const std::uint32_t payload = length - kHeaderSize;
  bytes[12] = static_cast<std::uint8_t>(payload);
  bytes[13] = static_cast<std::uint8_t>(payload >> 8);
  bytes[14] = static_cast<std::uint8_t>(payload >> 16);
  bytes[15] = static_cast<std::uint8_t>(payload >> 24);
}

void DatagramBuffer::Reset() {
  // Bytes past `length` are never sent and Finish rewrites the whole
  // header, so there is nothing to clear.
  length = kHeaderSize;
}

std::size_t CountRecords(const std::uint8_t* bytes, std::uint32_t length) {
  std::size_t records = 0;
  for (std::uint32_t at = kHeaderSize; at + 2 <= length; ++records)
    at += 2 + (bytes[at] | (bytes[at + 1] << 8));
  return records;
}

}  // namespace pelmora

#include "pcap_writer.h"

#include <cerrno>
#include <cstring>

namespace pelmora::recv {

namespace {

constexpr std::uint32_t kLinkTypeRaw = 101;
constexpr std::size_t kIpHeaderBytes = 20;
constexpr std::size_t kUdpHeaderBytes = 8;
constexpr std::uint8_t kUdpProtocol = 17;
constexpr std::uint8_t kTimeToLive = 64;

using Bytes = std::vector<std::uint8_t>;

// The pcap file header and record headers are little-endian (the reader
// tells by the magic number); IP and UDP headers are big-endian.
void PutLittle(Bytes* out, std::uint32_t value, int size) {
  for (int i = 0; i < size; ++i)
    out->push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PutBig(Bytes* out, std::uint32_t value, int size) {
  for (int i = size - 1; i >= 0; --i)
    out->push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// The IPv4 header checksum: the ones' complement of the ones' complement
// sum of the header's 16-bit words.
std::uint16_t IpChecksum(const std::uint8_t* header) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < kIpHeaderBytes; i += 2)
    sum += static_cast<std::uint32_t>(header[i] << 8 | header[i + 1]);
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

}  // namespace

PcapWriter::~PcapWriter() {
  if (file_ != nullptr) std::fclose(file_);
}

bool PcapWriter::Open(const std::string& path, std::string* error) {
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  path_ = path;
  Bytes header;
  PutLittle(&header, 0xA1B2C3D4, 4);  // magic: microsecond time stamps
  PutLittle(&header, 2, 2);           // format version 2.4
  PutLittle(&header, 4, 2);
  PutLittle(&header, 0, 4);      // time zone: UTC
  PutLittle(&header, 0, 4);      // time stamp accuracy
  PutLittle(&header, 65535, 4);  // longest packet kept whole
  PutLittle(&header, kLinkTypeRaw, 4);
  std::fwrite(header.data(), 1, header.size(), file_);
  return true;
}

void PcapWriter::Write(const wire::Endpoint& from, const wire::Endpoint& to,
                       const Bytes& datagram,
                       std::chrono::system_clock::time_point when) {
  if (file_ == nullptr) return;
  const std::size_t packetBytes =
      kIpHeaderBytes + kUdpHeaderBytes + datagram.size();
  const auto sinceEpoch = std::chrono::duration_cast<std::chrono::microseconds>(
      when.time_since_epoch());
  Bytes packet;
  packet.reserve(16 + packetBytes);
  PutLittle(&packet, static_cast<std::uint32_t>(sinceEpoch.count() / 1000000),
            4);
  PutLittle(&packet, static_cast<std::uint32_t>(sinceEpoch.count() % 1000000),
            4);
  PutLittle(&packet, static_cast<std::uint32_t>(packetBytes), 4);
  PutLittle(&packet, static_cast<std::uint32_t>(packetBytes), 4);

  const std::size_t ip = packet.size();
  PutBig(&packet, 0x45, 1);  // version 4, five 32-bit words of header
  PutBig(&packet, 0, 1);
  PutBig(&packet, static_cast<std::uint32_t>(packetBytes), 2);
  PutBig(&packet, 0, 2);  // identification
  PutBig(&packet, 0, 2);  // flags and fragment offset
  PutBig(&packet, kTimeToLive, 1);
  PutBig(&packet, kUdpProtocol, 1);
  PutBig(&packet, 0, 2);  // checksum, filled in below
  PutBig(&packet, from.address, 4);
  PutBig(&packet, to.address, 4);
  const std::uint16_t checksum = IpChecksum(packet.data() + ip);
  packet[ip + 10] = static_cast<std::uint8_t>(checksum >> 8);
  packet[ip + 11] = static_cast<std::uint8_t>(checksum);

  PutBig(&packet, from.port, 2);
  PutBig(&packet, to.port, 2);
  PutBig(&packet, static_cast<std::uint32_t>(kUdpHeaderBytes + datagram.size()),
         2);
  PutBig(&packet, 0, 2);  // no checksum, which IPv4 allows
  packet.insert(packet.end(), datagram.begin(), datagram.end());
  std::fwrite(packet.data(), 1, packet.size(), file_);
}

void PcapWriter::Flush() {
  if (file_ != nullptr) std::fflush(file_);
}

bool PcapWriter::Close(std::string* error) {
  if (file_ == nullptr) return true;
  const bool failed = std::ferror(file_) != 0;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (failed || !closed) {
    *error = "error writing " + path_;
    return false;
  }
  return true;
}

}  // namespace pelmora::recv

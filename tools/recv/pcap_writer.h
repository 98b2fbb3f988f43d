// A capture file of what the receiver got, for Wireshark and tshark with the
// dissector in tools/wireshark/pelmora.lua. Each datagram stands behind
// synthetic IPv4 and UDP headers, from its sender to the address and port
// the receiver listens on, as a capture on the wire would show it; no
// capture privilege is needed.
#ifndef PELMORA_TOOLS_RECV_PCAP_WRITER_H_
#define PELMORA_TOOLS_RECV_PCAP_WRITER_H_

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "udp_receiver.h"

namespace pelmora::recv {

// Writes a classic pcap file (microsecond time stamps, link type RAW: each
// packet an IPv4 header, a UDP header without checksum, the datagram).
class PcapWriter {
 public:
  PcapWriter() = default;
  ~PcapWriter();
  PcapWriter(const PcapWriter&) = delete;
  PcapWriter& operator=(const PcapWriter&) = delete;

  // Creates or empties `path` and writes the file header. False with `error`
  // filled when the file cannot be written.
  bool Open(const std::string& path, std::string* error);

  // Appends one datagram, received at `when`.
  void Write(const wire::Endpoint& from, const wire::Endpoint& to,
             const std::vector<std::uint8_t>& datagram,
             std::chrono::system_clock::time_point when);

  // Hands what was written to the system, so a reader sees it at once.
  void Flush();

  // Closes the file. False with `error` filled when any write failed.
  bool Close(std::string* error);

 private:
  std::FILE* file_ = nullptr;
  std::string path_;
};

}  // namespace pelmora::recv

#endif  // PELMORA_TOOLS_RECV_PCAP_WRITER_H_

// The server's reading of what the plug-in sends: datagram validation, a
// mirror of the host's points, and a UDP socket to receive on.
//
// Written from the wire format alone, without the plug-in's own sources, so
// that a disagreement between the two shows up instead of being shared.
//
//   0..3   FF FF FF FF        fixed
//   4..7   02 00 00 01        fixed
//   8      kind               01 item, 02 event, FF snapshot
//   9..11  FF FF FF           fixed
//   12..15 payload length     u32 LE, datagram length minus 32
//   16..21 station MAC
//   22..31 FF x 10            fixed
//   32..   records            u16 LE length, then that many bytes of text
#ifndef PELMORA_TOOLS_RECV_WIRE_READER_H_
#define PELMORA_TOOLS_RECV_WIRE_READER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace pelmora::wire {

inline constexpr std::size_t kHeaderSize = 32;
inline constexpr std::size_t kMaxDatagramSize = 1023;

inline constexpr std::uint8_t kKindItem = 0x01;
inline constexpr std::uint8_t kKindEvent = 0x02;
inline constexpr std::uint8_t kKindSnapshot = 0xFF;

struct Datagram {
  std::uint8_t kind = 0;
  std::array<std::uint8_t, 6> mac{};
  std::vector<std::string> records;
};

// Which rule of the layout a malformed datagram broke.
enum class Malformed {
  kTooShort,        // shorter than the header
  kTooLong,         // over 1023 bytes
  kFixedByte,       // a fixed header byte differs
  kUnknownKind,     // the kind byte is none of the three
  kLengthMismatch,  // the payload length disagrees with the datagram's
  kNoRecord,        // a header alone
  kRecordOverrun,   // a record runs past the end
};
inline constexpr int kMalformedKinds = 7;

// "too_short", "too_long", "fixed_byte", "unknown_kind", "length_mismatch",
// "no_record", "record_overrun".
const char* MalformedName(Malformed reason);

// Checks every rule of the layout and fills `out` only when all hold; on
// failure `error` (if given) says which rule broke and where, and `reason`
// (if given) which rule it was.
bool ParseDatagram(const std::uint8_t* data, std::size_t length, Datagram* out,
                   std::string* error, Malformed* reason = nullptr);

// "item", "event", "snapshot", or "unknown".
const char* KindName(std::uint8_t kind);

// "00-11-22-33-44-55", upper-case hex.
std::string MacText(const std::array<std::uint8_t, 6>& mac);

// The text with every byte outside 0x20..0x7E, and the backslash, written as
// \xNN. The texts are in the host's code page, which the receiver does not
// know, so bytes above 0x7E are shown by value rather than guessed at.
std::string Escape(std::string_view text);

// Splits at the first bar: names carry none, values may. A text without a bar
// is all name, with an empty value.
void SplitRecord(std::string_view text, std::string_view* name,
                 std::string_view* value);

// The host's points as the server knows them from what has arrived.
class PointMirror {
 public:
  struct Tally {
    std::uint64_t datagrams = 0;
    std::uint64_t records = 0;
  };

  // Item and snapshot records set name -> value. A snapshot is not a reset:
  // one snapshot spans as many datagrams as the point list needs, so each
  // datagram carries only part of it. Events are only counted, in the
  // event tally: a receiver may run for days.
  void Apply(const Datagram& datagram);

  const std::map<std::string, std::string>& points() const { return points_; }
  // Datagrams and records applied of one kind; zero for unknown kinds.
  Tally tally(std::uint8_t kind) const;

 private:
  std::map<std::string, std::string> points_;
  Tally itemTally_;
  Tally eventTally_;
  Tally snapshotTally_;
};

// An IPv4 address and a UDP port, both in host byte order.
struct Endpoint {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
};

// "127.0.0.1:7000".
std::string EndpointText(const Endpoint& endpoint);

// An IPv4 UDP socket bound for receiving; closed on destruction. The socket
// half comes in one implementation per system (udp_receiver_posix.cpp,
// udp_receiver_win32.cpp); the rest of this header is portable.
class UdpReceiver {
 public:
  UdpReceiver() = default;
  ~UdpReceiver();
  UdpReceiver(const UdpReceiver&) = delete;
  UdpReceiver& operator=(const UdpReceiver&) = delete;

  // `address` is dotted IPv4; port 0 picks a free one, which port() then
  // reports. False with `error` filled when the socket cannot be bound.
  bool Open(const std::string& address, std::uint16_t port, std::string* error);

  std::uint16_t port() const { return local_.port; }
  // The address and port it is bound to.
  const Endpoint& local() const { return local_; }
  // What the system granted, which may be less than asked for.
  int receive_buffer_bytes() const { return receiveBufferBytes_; }

  // Waits up to `timeoutMs` (0: just looks) for one datagram and stores it
  // whole, however long, and its sender in `from` when given. False on
  // timeout, on a signal, or on an error.
  bool Receive(std::vector<std::uint8_t>* datagram, int timeoutMs,
               Endpoint* from = nullptr);

 private:
  // A file descriptor, or a Windows SOCKET; -1 when none is open.
  std::intptr_t socket_ = -1;
  Endpoint local_;
  int receiveBufferBytes_ = 0;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_RECV_WIRE_READER_H_

#include "signed_datagram.h"

#include <cstring>

#include "datagram.h"

namespace pelmora::wire {
namespace {

constexpr std::uint8_t kFixedLead[8] = {0xFF, 0xFF, 0xFF, 0xFF,
                                        0x02, 0x00, 0x00, 0x01};

std::uint32_t ReadU32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) |
         static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 |
         static_cast<std::uint32_t>(at[3]) << 24;
}

bool Fail(std::string* error, std::string text) {
  if (error) *error = std::move(text);
  return false;
}

// A u16-prefixed text at data[*at], ending by `end`; moves past it.
bool TakeText(const std::uint8_t* data, std::size_t end, std::size_t* at,
              std::string* text) {
  if (*at + 2 > end) return false;
  const std::size_t n = data[*at] | static_cast<std::size_t>(data[*at + 1])
                                        << 8;
  if (n > end - *at - 2) return false;
  text->assign(reinterpret_cast<const char*>(data + *at + 2), n);
  *at += 2 + n;
  return true;
}

const char* StateName(std::uint8_t state) {
  switch (state) {
    case 0x00:
      return "session opened";
    case 0x01:
      return "queued";
    case 0x02:
      return "delivered";
    case 0x03:
      return "refused";
    default:
      return "unknown state";
  }
}

}  // namespace

const char* ReasonName(std::uint8_t reason) {
  static const char* const kNames[] = {
      "none",          "no callback",    "queue full",   "unknown command",
      "unusable name", "wrong session",  "old sequence", "rate limited",
      "malformed",     "snapshot failed"};
  return reason < std::size(kNames) ? kNames[reason] : "unknown reason";
}

bool ParseSignedDatagram(const std::uint8_t* data, std::size_t length,
                         SignedDatagram* out, std::string* error) {
  if (length < kHeaderSize ||
      (data[8] != kKindCommand && data[8] != kKindReply))
    return false;
  const bool command = data[8] == kKindCommand;
  if (command && (length < kMinCommandSize || length > kMaxDatagramSize))
    return Fail(error, "command of " + std::to_string(length) +
                           " bytes, outside 77 to 1023");
  if (!command && length != kReplySize)
    return Fail(error, "reply of " + std::to_string(length) + " bytes, not 78");
  if (std::memcmp(data, kFixedLead, 8) != 0 || data[9] != 0xFF ||
      data[10] != 0xFF || data[11] != 0xFF)
    return Fail(error, "fixed header bytes differ");
  for (std::size_t at = 22; at < kHeaderSize; ++at)
    if (data[at] != 0xFF) return Fail(error, "fixed header bytes differ");
  if (ReadU32(data + 12) != length - kHeaderSize)
    return Fail(error, "payload length " + std::to_string(ReadU32(data + 12)) +
                           " but " + std::to_string(length - kHeaderSize) +
                           " bytes follow the header");
  SignedDatagram d;
  d.kind = data[8];
  std::memcpy(d.mac.data(), data + 16, d.mac.size());
  std::memcpy(d.nonce.data(), data + 32, d.nonce.size());
  d.sequence = ReadU32(data + 40);
  if (command) {
    d.command = data[44];
    if (d.command == 0x01) {
      const std::size_t end = length - kSignatureSize;
      std::size_t at = 45;
      if (!TakeText(data, end, &at, &d.name) ||
          !TakeText(data, end, &at, &d.value) || at != end)
        return Fail(error, "write body does not end at the signature");
    }
  } else {
    d.state = data[44];
    d.reason = data[45];
  }
  *out = std::move(d);
  return true;
}

std::string DescribeSigned(const SignedDatagram& d) {
  const std::string sequence = " sequence " + std::to_string(d.sequence);
  if (d.kind == kKindCommand) {
    const char* name = d.command == 0x01   ? "write"
                       : d.command == 0x02 ? "snapshot"
                                           : "unknown command";
    return name + sequence;
  }
  std::string text = StateName(d.state) + sequence;
  if (d.state == 0x03) text += std::string(": ") + ReasonName(d.reason);
  return text;
}

}  // namespace pelmora::wire

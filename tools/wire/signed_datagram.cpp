#include "signed_datagram.h"

#include <cstring>

#include "datagram.h"
#include "hex_text.h"

namespace pelmora::wire {
namespace {

constexpr std::uint8_t kFixedLead[8] = {0xFF, 0xFF, 0xFF, 0xFF,
                                        0x02, 0x00, 0x00, 0x01};

constexpr std::size_t kSequenceAt = 40;
constexpr std::size_t kNotAfterAt = 44;
constexpr std::size_t kCommandAt = 48;
constexpr std::size_t kStateAt = 44;
constexpr std::size_t kAnswersAt = 46;
constexpr std::size_t kClockAt = 62;
constexpr std::size_t kLatestAt = 66;

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
    case kReplyOpened:
      return "session opened";
    case kReplyQueued:
      return "queued";
    case kReplyDelivered:
      return "delivered";
    case kReplyRefused:
      return "refused";
    default:
      return "unknown state";
  }
}

const char* CommandName(std::uint8_t command) {
  switch (command) {
    case kCommandWrite:
      return "write";
    case kCommandSnapshot:
      return "snapshot";
    case kCommandFence:
      return "fence";
    default:
      return "unknown command";
  }
}

}  // namespace

const char* ReasonName(std::uint8_t reason) {
  static const char* const kNames[] = {"none",
                                       "no callback",
                                       "queue full",
                                       "unknown command",
                                       "unusable name",
                                       "wrong session",
                                       "old sequence",
                                       "rate limited",
                                       "malformed",
                                       "snapshot failed",
                                       "outside its validity"};
  return reason < std::size(kNames) ? kNames[reason] : "unknown reason";
}

Digest DigestOf(const std::uint8_t* data, std::size_t length) {
  Digest digest;
  std::memcpy(digest.data(), data + length - kSignatureSize, kDigestSize);
  return digest;
}

bool ParseSignedDatagram(const std::uint8_t* data, std::size_t length,
                         SignedDatagram* out, std::string* error) {
  if (length < kHeaderSize ||
      (data[8] != kKindCommand && data[8] != kKindReply))
    return false;
  const bool command = data[8] == kKindCommand;
  if (command && (length < kMinCommandSize || length > kMaxCommandSize))
    return Fail(error, "command of " + std::to_string(length) +
                           " bytes, outside 81 to 1023");
  if (!command && length != kReplySize)
    return Fail(error,
                "reply of " + std::to_string(length) + " bytes, not 102");
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
  d.sequence = ReadU32(data + kSequenceAt);
  if (command) {
    d.notAfter = ReadU32(data + kNotAfterAt);
    d.command = data[kCommandAt];
    const std::size_t end = length - kSignatureSize;
    std::size_t at = kCommandAt + 1;
    if (d.command == kCommandWrite) {
      if (!TakeText(data, end, &at, &d.name) ||
          !TakeText(data, end, &at, &d.value) || at != end)
        return Fail(error, "write body does not end at the signature");
    } else if ((d.command == kCommandSnapshot || d.command == kCommandFence) &&
               at != end) {
      return Fail(
          error, std::string("a ") + CommandName(d.command) + " takes no body");
    }
  } else {
    d.state = data[kStateAt];
    d.reason = data[kStateAt + 1];
    std::memcpy(d.answers.data(), data + kAnswersAt, kDigestSize);
    d.clock = ReadU32(data + kClockAt);
    d.latest = ReadU32(data + kLatestAt);
  }
  *out = std::move(d);
  return true;
}

std::string DescribeSigned(const SignedDatagram& d) {
  const std::string sequence = " sequence " + std::to_string(d.sequence);
  if (d.kind == kKindCommand) {
    return CommandName(d.command) + sequence + " (not after " +
           std::to_string(d.notAfter) + " ms)";
  }
  std::string text = StateName(d.state) + sequence;
  if (d.state == kReplyRefused)
    text += std::string(": ") + ReasonName(d.reason);
  return text + " (answers " + HexOf(d.answers.data(), 4) + ", clock " +
         std::to_string(d.clock) + " ms, latest " + std::to_string(d.latest) +
         ")";
}

}  // namespace pelmora::wire

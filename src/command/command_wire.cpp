#include "command/command_wire.h"

#include <cstring>

namespace pelmora {
namespace {

constexpr std::size_t kNonceAt = kHeaderSize;
constexpr std::size_t kSequenceAt = kNonceAt + kSessionNonceSize;
constexpr std::size_t kNotAfterAt = kSequenceAt + 4;
constexpr std::size_t kTypeAt = kNotAfterAt + 4;
constexpr std::size_t kBodyAt = kTypeAt + 1;

constexpr std::size_t kStateAt = kSequenceAt + 4;
constexpr std::size_t kAnswersAt = kStateAt + 2;
constexpr std::size_t kClockAt = kAnswersAt + kCommandDigestSize;
constexpr std::size_t kLatestAt = kClockAt + 4;
static_assert(kLatestAt + 4 + kHmacSha256Size == kReplySize);

std::uint32_t ReadU32(const std::uint8_t* at) {
  return at[0] | (at[1] << 8) | (at[2] << 16) |
         (static_cast<std::uint32_t>(at[3]) << 24);
}

void PutU32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Reads a u16-prefixed text at the front of `rest` and moves past it.
bool TakeText(std::string_view* rest, std::string_view* text) {
  if (rest->size() < 2) return false;
  const std::size_t n = static_cast<std::uint8_t>((*rest)[0]) |
                        (static_cast<std::uint8_t>((*rest)[1]) << 8);
  if (rest->size() - 2 < n) return false;
  *text = rest->substr(2, n);
  rest->remove_prefix(2 + n);
  return true;
}

}  // namespace

bool ConstantTimeEqual(const std::uint8_t* a, const std::uint8_t* b,
                       std::size_t length) {
  volatile std::uint8_t difference = 0;
  for (std::size_t i = 0; i < length; ++i) difference |= a[i] ^ b[i];
  return difference == 0;
}

bool OpenCommand(Env& env, const CommandKey& key, const DatagramHeader& header,
                 const std::uint8_t* bytes, std::size_t length,
                 Command* command) {
  if (length < kMinCommandSize || length > kMaxCommandSize) return false;
  // The fixed bytes and the station MAC are this station's header's.
  const std::uint8_t* own = header.bytes();
  if (std::memcmp(bytes, own, 8) != 0 ||
      std::memcmp(bytes + 9, own + 9, 3) != 0 ||
      std::memcmp(bytes + 16, own + 16, kHeaderSize - 16) != 0)
    return false;
  if (bytes[8] != kKindCommand || ReadU32(bytes + 12) != length - kHeaderSize)
    return false;
  const std::size_t signedLength = length - kHmacSha256Size;
  std::uint8_t mac[kHmacSha256Size];
  if (!env.HmacSha256(key.data(), key.size(), bytes, signedLength, mac) ||
      !ConstantTimeEqual(mac, bytes + signedLength, kHmacSha256Size))
    return false;
  std::memcpy(command->nonce.data(), bytes + kNonceAt, kSessionNonceSize);
  command->sequence = ReadU32(bytes + kSequenceAt);
  command->notAfter = ReadU32(bytes + kNotAfterAt);
  command->type = bytes[kTypeAt];
  command->body = std::string_view(
      reinterpret_cast<const char*>(bytes) + kBodyAt, signedLength - kBodyAt);
  std::memcpy(command->digest.data(), mac, kCommandDigestSize);
  return true;
}

bool ReadWriteBody(std::string_view body, std::string_view* name,
                   std::string_view* value) {
  return TakeText(&body, name) && TakeText(&body, value) && body.empty();
}

bool SealReply(Env& env, const CommandKey& key, const DatagramHeader& header,
               const SessionNonce& nonce, const ReplyFields& fields,
               ReplyBytes* reply) {
  std::uint8_t* out = reply->data();
  std::memcpy(out, header.bytes(), kHeaderSize);
  out[8] = kKindReply;
  PutU32(out + 12, static_cast<std::uint32_t>(kReplySize - kHeaderSize));
  std::memcpy(out + kNonceAt, nonce.data(), kSessionNonceSize);
  PutU32(out + kSequenceAt, fields.sequence);
  out[kStateAt] = static_cast<std::uint8_t>(fields.state);
  out[kStateAt + 1] = static_cast<std::uint8_t>(fields.reason);
  std::memcpy(out + kAnswersAt, fields.answers.data(), kCommandDigestSize);
  PutU32(out + kClockAt, fields.clock);
  PutU32(out + kLatestAt, fields.latest);
  const std::size_t signedLength = kReplySize - kHmacSha256Size;
  return env.HmacSha256(key.data(), key.size(), out, signedLength,
                        out + signedLength);
}

}  // namespace pelmora

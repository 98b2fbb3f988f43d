// A station's signed reply to a command, laid out by hand from the wire
// format and signed with OpenSSL directly: the tests play the station.
#ifndef PELMORA_TESTS_GATEWAY_STATION_REPLY_H_
#define PELMORA_TESTS_GATEWAY_STATION_REPLY_H_

#include <openssl/hmac.h>

#include <array>
#include <cstdint>
#include <vector>

namespace pelmora::testing {

// `answers` is the first 16 bytes of the answered command's HMAC, `clock`
// the station's session clock, `latest` the session's latest sequence.
inline std::vector<std::uint8_t> StationReply(
    const std::array<std::uint8_t, 32>& key,
    const std::array<std::uint8_t, 6>& mac,
    const std::array<std::uint8_t, 8>& nonce, std::uint32_t sequence,
    std::uint8_t state, std::uint8_t reason,
    const std::array<std::uint8_t, 16>& answers = {}, std::uint32_t clock = 0,
    std::uint32_t latest = 0) {
  std::vector<std::uint8_t> bytes = {0xFF, 0xFF, 0xFF, 0xFF, 2,  0, 0, 1,
                                     4,    0xFF, 0xFF, 0xFF, 70, 0, 0, 0};
  bytes.insert(bytes.end(), mac.begin(), mac.end());
  bytes.resize(32, 0xFF);
  bytes.insert(bytes.end(), nonce.begin(), nonce.end());
  for (int i = 0; i < 4; ++i) bytes.push_back(std::uint8_t(sequence >> 8 * i));
  bytes.push_back(state);
  bytes.push_back(reason);
  bytes.insert(bytes.end(), answers.begin(), answers.end());
  for (const std::uint32_t field : {clock, latest})
    for (int i = 0; i < 4; ++i) bytes.push_back(std::uint8_t(field >> 8 * i));
  unsigned char hash[32];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), bytes.data(),
       bytes.size(), hash, &length);
  bytes.insert(bytes.end(), hash, hash + length);
  return bytes;
}

}  // namespace pelmora::testing

#endif  // PELMORA_TESTS_GATEWAY_STATION_REPLY_H_

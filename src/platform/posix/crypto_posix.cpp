// The system crypto over OpenSSL's libcrypto.
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <climits>

#include "platform/system_crypto.h"

namespace pelmora {

bool SystemRandomBytes(std::uint8_t* out, std::size_t length) {
  return length <= INT_MAX && RAND_bytes(out, static_cast<int>(length)) == 1;
}

bool SystemHmacSha256(const std::uint8_t* key, std::size_t keyLength,
                      const std::uint8_t* data, std::size_t length,
                      std::uint8_t mac[32]) {
  unsigned int macLength = 0;
  return keyLength <= INT_MAX &&
         HMAC(EVP_sha256(), key, static_cast<int>(keyLength), data, length, mac,
              &macLength) != nullptr &&
         macLength == 32;
}

}  // namespace pelmora

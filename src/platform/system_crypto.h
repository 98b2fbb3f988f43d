// The system's cryptographic library, as the Env of each platform reaches
// it: one implementation is compiled (posix/crypto_posix.cpp over OpenSSL's
// libcrypto, win32/crypto_win32.cpp over CNG).
#ifndef PELMORA_PLATFORM_SYSTEM_CRYPTO_H_
#define PELMORA_PLATFORM_SYSTEM_CRYPTO_H_

#include <cstddef>
#include <cstdint>

namespace pelmora {

bool SystemRandomBytes(std::uint8_t* out, std::size_t length);
bool SystemHmacSha256(const std::uint8_t* key, std::size_t keyLength,
                      const std::uint8_t* data, std::size_t length,
                      std::uint8_t mac[32]);

}  // namespace pelmora

#endif  // PELMORA_PLATFORM_SYSTEM_CRYPTO_H_

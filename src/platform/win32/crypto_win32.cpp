// The system crypto over CNG (bcrypt.dll).
#include <windows.h>
#include <bcrypt.h>

#include "platform/system_crypto.h"

namespace pelmora {
namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

// The HMAC-SHA256 provider, opened once for the process: opening one is
// costly, and a handle may be shared by threads.
BCRYPT_ALG_HANDLE HmacProvider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!Succeeded(BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM,
                                               nullptr,
                                               BCRYPT_ALG_HANDLE_HMAC_FLAG)))
      return static_cast<BCRYPT_ALG_HANDLE>(nullptr);
    return handle;
  }();
  return provider;
}

}  // namespace

bool SystemRandomBytes(std::uint8_t* out, std::size_t length) {
  return length <= 0xFFFFFFFFu &&
         Succeeded(BCryptGenRandom(nullptr, out, static_cast<ULONG>(length),
                                   BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

bool SystemHmacSha256(const std::uint8_t* key, std::size_t keyLength,
                      const std::uint8_t* data, std::size_t length,
                      std::uint8_t mac[32]) {
  BCRYPT_ALG_HANDLE provider = HmacProvider();
  if (provider == nullptr || keyLength > 0xFFFFFFFFu || length > 0xFFFFFFFFu)
    return false;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!Succeeded(BCryptCreateHash(provider, &hash, nullptr, 0,
                                  const_cast<PUCHAR>(key),
                                  static_cast<ULONG>(keyLength), 0)))
    return false;
  const bool done = Succeeded(BCryptHashData(hash, const_cast<PUCHAR>(data),
                                             static_cast<ULONG>(length), 0)) &&
                    Succeeded(BCryptFinishHash(hash, mac, 32, 0));
  BCryptDestroyHash(hash);
  return done;
}

}  // namespace pelmora

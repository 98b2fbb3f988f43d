#include "command_signing.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>

#include <optional>

#include "datagram.h"
#include "hex_text.h"
#include "line_file.h"

namespace pelmora::wire {
namespace {

constexpr std::uint8_t kHeaderLead[12] = {0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00,
                                          0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF};

bool Sign(const StationKey& key, const std::uint8_t* data, std::size_t length,
          std::uint8_t* signature) {
  unsigned int size = 0;
  return HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), data,
              length, signature, &size) != nullptr &&
         size == kSignatureSize;
}

void PutU16(std::vector<std::uint8_t>* out, std::size_t value) {
  out->push_back(static_cast<std::uint8_t>(value));
  out->push_back(static_cast<std::uint8_t>(value >> 8));
}

}  // namespace

bool SignatureHolds(const StationKey& key, const std::uint8_t* data,
                    std::size_t length) {
  if (length < kSignatureSize) return false;
  std::uint8_t expected[kSignatureSize];
  const std::size_t signedLength = length - kSignatureSize;
  return Sign(key, data, signedLength, expected) &&
         CRYPTO_memcmp(expected, data + signedLength, kSignatureSize) == 0;
}

bool SealCommand(const StationKey& key, const Mac& mac, const Nonce& nonce,
                 std::uint32_t sequence, std::uint32_t notAfter,
                 std::uint8_t command, std::string_view name,
                 std::string_view value, std::vector<std::uint8_t>* out) {
  std::vector<std::uint8_t> bytes(kHeaderLead,
                                  kHeaderLead + sizeof kHeaderLead);
  bytes[8] = kKindCommand;
  bytes.resize(kHeaderSize, 0xFF);
  std::copy(mac.begin(), mac.end(), bytes.begin() + 16);
  bytes.insert(bytes.end(), nonce.begin(), nonce.end());
  for (const std::uint32_t field : {sequence, notAfter})
    for (int shift = 0; shift < 32; shift += 8)
      bytes.push_back(static_cast<std::uint8_t>(field >> shift));
  bytes.push_back(command);
  if (command == kCommandWrite) {
    for (std::string_view text : {name, value}) {
      if (text.size() > kMaxDatagramSize) return false;
      PutU16(&bytes, text.size());
      bytes.insert(bytes.end(), text.begin(), text.end());
    }
  }
  const std::size_t total = bytes.size() + kSignatureSize;
  if (total > kMaxCommandSize) return false;
  const std::size_t payload = total - kHeaderSize;
  for (int i = 0; i < 4; ++i)
    bytes[12 + i] = static_cast<std::uint8_t>(payload >> (8 * i));
  const std::size_t signedLength = bytes.size();
  bytes.resize(total);
  if (!Sign(key, bytes.data(), signedLength, bytes.data() + signedLength))
    return false;
  *out = std::move(bytes);
  return true;
}

bool ParseStationKey(std::string_view text, StationKey* key) {
  return ParseHexBytes(text, key->data(), key->size());
}

std::string OthersMayReadWarning(const std::string& path,
                                 const std::string& what) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 ||
      (status.st_mode & (S_IRWXG | S_IRWXO)) == 0) {
    return "";
  }
  return what + " " + path +
         " can be read by others than its owner (chmod 600 it)";
}

bool ReadKeyFile(const std::string& path,
                 std::map<std::string, StationKey>* keys, std::string* warning,
                 std::string* error) {
  const std::optional<std::vector<FileLine>> lines = ReadContentLines(path);
  if (!lines) {
    *error = "cannot read the key file " + path;
    return false;
  }
  *warning = OthersMayReadWarning(path, "the key file");
  for (const FileLine& line : *lines) {
    const std::string_view text = line.text;
    const std::size_t gap = text.find_first_of(" \t");
    Mac mac{};
    StationKey key{};
    if (gap == std::string_view::npos ||
        !ParseMacText(text.substr(0, gap), &mac) ||
        !ParseStationKey(TrimBlanks(text.substr(gap)), &key)) {
      // The line itself may hold a key: only its number is told.
      *error = path + " line " + std::to_string(line.number) +
               ": not 'MAC KEY' (a MAC and 64 hex digits)";
      return false;
    }
    (*keys)[MacText(mac)] = key;
  }
  return true;
}

}  // namespace pelmora::wire

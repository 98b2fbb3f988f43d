// The server's half of signed commands: the station's key, the keyed hash
// (HMAC-SHA256, OpenSSL's libcrypto) that signs a command and checks a
// reply, the command's bytes, and the file of station keys. Server-side and
// Linux only, so the receiver's Windows build stays free of libcrypto.
#ifndef PELMORA_TOOLS_WIRE_COMMAND_SIGNING_H_
#define PELMORA_TOOLS_WIRE_COMMAND_SIGNING_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "signed_datagram.h"

namespace pelmora::wire {

using StationKey = std::array<std::uint8_t, 32>;
using Nonce = std::array<std::uint8_t, 8>;
using Mac = std::array<std::uint8_t, 6>;

// Whether the last 32 of `length` bytes are the keyed hash of the bytes
// before them, compared in constant time.
bool SignatureHolds(const StationKey& key, const std::uint8_t* data,
                    std::size_t length);

// A command of station `mac` for the session `nonce`, not to act once the
// station's session clock is past `notAfter`, signed; a write carries `name`
// and `value`, the others nothing. False when it would not fit a datagram
// or the hash failed.
bool SealCommand(const StationKey& key, const Mac& mac, const Nonce& nonce,
                 std::uint32_t sequence, std::uint32_t notAfter,
                 std::uint8_t command, std::string_view name,
                 std::string_view value, std::vector<std::uint8_t>* out);

// 64 hex digits, either case.
bool ParseStationKey(std::string_view text, StationKey* key);

// A warning when others than its owner may read the file at `path`, which
// `what` names ("the key file"); empty when none.
std::string OthersMayReadWarning(const std::string& path,
                                 const std::string& what);

// Keys by station MAC ("00-11-22-33-44-55") from a file of "MAC HEX64"
// lines, '#' comments and blank lines. False with `error` naming the line
// that is neither, or the file when it cannot be read; `warning` is set
// when others than the owner may read the file. No text ever holds a key.
bool ReadKeyFile(const std::string& path,
                 std::map<std::string, StationKey>* keys, std::string* warning,
                 std::string* error);

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_COMMAND_SIGNING_H_

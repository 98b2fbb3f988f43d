// The station's identity on the wire: the MAC text turned into six header
// bytes, and the machine's adapters as MAC texts.
#ifndef PELMORA_CONFIG_STATION_IDENTITY_H_
#define PELMORA_CONFIG_STATION_IDENTITY_H_

#include <cstdint>
#include <string>
#include <vector>

namespace pelmora {

class Env;

// Appends one text per adapter ("0A:1B:...", uppercase, one group per
// address byte), in the platform's order. On failure `list` is untouched.
void ListAdapterMacs(Env& env, std::vector<std::string>* list);

// The first adapter's text, or the empty text when there is none.
std::string FirstAdapterMac(Env& env);

// The value of one hexadecimal digit in either case, or -1.
int HexDigitValue(char c);

// Scans a MAC text the way "%X:%X:%X:%X:%X:%X" does: only a text of
// exactly 17 bytes is scanned; each value may have leading blanks, a sign
// and a 0x prefix, and keeps its low 8 bits; the scan stops at the first
// part that does not match, leaving the remaining bytes zero.
void ParseMacText(const std::string& text, std::uint8_t bytes[6]);

}  // namespace pelmora

#endif  // PELMORA_CONFIG_STATION_IDENTITY_H_

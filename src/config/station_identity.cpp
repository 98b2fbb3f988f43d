#include "config/station_identity.h"

#include <cstdio>
#include <cstring>

#include "platform/env.h"

namespace pelmora {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// One %X conversion starting at `*p`; false when no digit was found.
bool ScanHexValue(const char** p, std::uint32_t* value) {
  const char* s = *p;
  while (IsBlank(*s)) ++s;
  bool negative = false;
  if (*s == '+' || *s == '-') negative = *s++ == '-';
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && HexDigitValue(s[2]) >= 0)
    s += 2;
  if (HexDigitValue(*s) < 0) return false;
  std::uint32_t v = 0;
  for (int d; (d = HexDigitValue(*s)) >= 0; ++s)
    v = (v << 4) | static_cast<std::uint32_t>(d);
  *value = negative ? 0u - v : v;
  *p = s;
  return true;
}

}  // namespace

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void ListAdapterMacs(Env& env, std::vector<std::string>* list) {
  std::vector<std::vector<std::uint8_t>> addresses;
  if (!env.ListAdapterAddresses(&addresses)) return;
  for (const auto& address : addresses) {
    std::string text;
    for (std::size_t i = 0; i < address.size(); ++i) {
      char group[4];
      std::snprintf(group, sizeof group,
                    i + 1 < address.size() ? "%02X:" : "%02X", address[i]);
      text += group;
    }
    list->push_back(std::move(text));
  }
}

std::string FirstAdapterMac(Env& env) {
  std::vector<std::string> list;
  ListAdapterMacs(env, &list);
  return list.empty() ? std::string() : list.front();
}

void ParseMacText(const std::string& text, std::uint8_t bytes[6]) {
  std::memset(bytes, 0, 6);
  if (text.size() != 17) return;
  const char* p = text.c_str();
  for (int i = 0; i < 6; ++i) {
    if (i > 0) {
      if (*p != ':') return;
      ++p;
    }
    std::uint32_t value = 0;
    if (!ScanHexValue(&p, &value)) return;
    bytes[i] = static_cast<std::uint8_t>(value & 0xFF);
  }
}

}  // namespace pelmora

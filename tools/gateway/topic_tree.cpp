#include "topic_name.h"

#include "code_page.h"

namespace pelmora::gateway {

namespace {

bool StaysAsIs(unsigned char byte) {
  return byte >= 0x20 && byte <= 0x7E && byte != '/' && byte != '+' &&
         byte != '#' && byte != '%';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string TopicLevelOfName(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string level;
  level.reserve(name.size());
  while (!name.empty()) {
    const auto byte = static_cast<unsigned char>(name[0]);
    if (StaysAsIs(byte)) {
      level += name[0];
      name.remove_prefix(1);
      continue;
    }
    if (byte >= 0x80 && wire::DecodeGbkChar(name, &level) == 2) {
      name.remove_prefix(2);
      continue;
    }
    level += '%';
    level += kHex[byte >> 4];
    level += kHex[byte & 0x0F];
    name.remove_prefix(1);
  }
  return level;
}

bool NameOfTopicLevel(std::string_view level, std::string* name) {
  name->clear();
  while (!level.empty()) {
    const auto byte = static_cast<unsigned char>(level[0]);
    if (byte == '%') {
      const int high = level.size() >= 3 ? HexValue(level[1]) : -1;
      const int low = level.size() >= 3 ? HexValue(level[2]) : -1;
      if (high < 0 || low < 0) return false;
      *name += static_cast<char>(high << 4 | low);
      level.remove_prefix(3);
    } else if (byte < 0x80) {
      if (!StaysAsIs(byte)) return false;
      *name += level[0];
      level.remove_prefix(1);
    } else {
      const std::size_t used = wire::EncodeGbkChar(level, name);
      if (used == 0) return false;
      level.remove_prefix(used);
    }
  }
  return true;
}

}  // namespace pelmora::gateway

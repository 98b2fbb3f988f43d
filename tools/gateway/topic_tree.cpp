#include "topic_tree.h"

#include <array>
#include <cstdint>

#include "code_page.h"
#include "datagram.h"
#include "hex_text.h"

namespace pelmora::gateway {

namespace {

constexpr char kTopicRoot[] = "pelmora/";

// A topic level also escapes what MQTT reserves in topics; a payload's
// text needs only '%' escaped for the mapping to be undone.
bool StaysAsIs(unsigned char byte, bool inTopic) {
  if (byte < 0x20 || byte > 0x7E || byte == '%') return false;
  return !inTopic || (byte != '/' && byte != '+' && byte != '#');
}

std::string EscapedUtf8(std::string_view name, bool inTopic) {
  std::string level;
  level.reserve(name.size());
  while (!name.empty()) {
    const auto byte = static_cast<unsigned char>(name[0]);
    if (StaysAsIs(byte, inTopic)) {
      level += name[0];
      name.remove_prefix(1);
      continue;
    }
    if (byte >= 0x80 && wire::DecodeGbkChar(name, &level) == 2) {
      name.remove_prefix(2);
      continue;
    }
    level += '%';
    wire::AppendHexByte(byte, wire::HexCase::kUpper, &level);
    name.remove_prefix(1);
  }
  return level;
}

bool HostTextOf(std::string_view level, bool inTopic, std::string* name) {
  name->clear();
  std::string_view rest = level;
  while (!rest.empty()) {
    const auto byte = static_cast<unsigned char>(rest[0]);
    if (byte == '%') {
      std::uint8_t escaped = 0;
      if (!wire::ParseHexBytes(rest.substr(1, 2), &escaped, 1)) return false;
      *name += static_cast<char>(escaped);
      rest.remove_prefix(3);
    } else if (byte < 0x80) {
      *name += rest[0];
      rest.remove_prefix(1);
    } else {
      const std::size_t used = wire::EncodeGbkChar(rest, name);
      if (used == 0) return false;
      rest.remove_prefix(used);
    }
  }
  // The name stands for the level only if the encoder writes this very
  // level for it: any other spelling of the same bytes is refused, so that
  // two topics (or two metric names) never reach one point.
  return EscapedUtf8(*name, inTopic) == level;
}

// The MAC and the name of "pelmora/<MAC><section><level>".
bool NameOfTopic(std::string_view topic, std::string_view section,
                 std::string* mac, std::string* name) {
  // "00-11-22-33-44-55", as the station table writes it.
  constexpr std::size_t kMacLength = 17;
  constexpr std::string_view kRoot = kTopicRoot;
  if (topic.substr(0, kRoot.size()) != kRoot) return false;
  topic.remove_prefix(kRoot.size());
  if (topic.size() < kMacLength + section.size() ||
      topic.substr(kMacLength, section.size()) != section) {
    return false;
  }
  if (!NameOfTopicLevel(topic.substr(kMacLength + section.size()), name))
    return false;
  mac->assign(topic.substr(0, kMacLength));
  return true;
}

}  // namespace

std::string PointTopic(std::string_view mac, std::string_view name) {
  return kTopicRoot + std::string(mac) + "/points/" + TopicLevelOfName(name);
}

std::string EventsTopic(std::string_view mac) {
  return kTopicRoot + std::string(mac) + "/events";
}

std::string StationStatusTopic(std::string_view mac) {
  return kTopicRoot + std::string(mac) + "/status";
}

std::string CommandResultsTopic(std::string_view mac) {
  return kTopicRoot + std::string(mac) + "/commands/results";
}

bool PointOfTopic(std::string_view topic, std::string* mac, std::string* name) {
  return NameOfTopic(topic, "/points/", mac, name);
}

bool WriteOfTopic(std::string_view topic, std::string* mac, std::string* name) {
  std::array<std::uint8_t, 6> bytes{};
  return NameOfTopic(topic, "/commands/write/", mac, name) &&
         wire::ParseMacText(*mac, &bytes) && wire::MacText(bytes) == *mac;
}

std::string TopicLevelOfName(std::string_view name) {
  return EscapedUtf8(name, true);
}

std::string Utf8OfHostText(std::string_view text) {
  return EscapedUtf8(text, false);
}

bool NameOfTopicLevel(std::string_view level, std::string* name) {
  return HostTextOf(level, true, name);
}

bool HostTextOfUtf8(std::string_view text, std::string* host) {
  return HostTextOf(text, false, host);
}

}  // namespace pelmora::gateway

// Every topic the gateway publishes to, and point names as topic levels:
//   pelmora/<MAC>/points/<level>  a point's last value, retained
//   pelmora/<MAC>/events          the station's events, in order
//   pelmora/<MAC>/status          the station's status, retained
//   pelmora/<MAC>/commands/write/<level>  a write for a point, taken
//   pelmora/<MAC>/commands/results        what became of each command
//   pelmora/gateway/status        the gateway's own state, and its will
//   pelmora/gateway/stats         the gateway's counters, retained
// <MAC> is "00-11-22-33-44-55", upper-case hex.
//
// A point name is 8-bit text in the host's code page (GBK) and may hold any
// byte; a topic level must be UTF-8 and may not hold '/', '+', '#' or NUL. The
// level is the name read as GBK:
//   - printable ASCII other than '/', '+', '#' and '%' stays as it is;
//   - a GBK pair becomes its character in UTF-8;
//   - every other byte is written %XX (upper-case hex), '%' itself among
//     them, so that the mapping can be undone byte for byte.
#ifndef PELMORA_TOOLS_GATEWAY_TOPIC_TREE_H_
#define PELMORA_TOOLS_GATEWAY_TOPIC_TREE_H_

#include <string>
#include <string_view>

namespace pelmora::gateway {

inline constexpr char kGatewayStatusTopic[] = "pelmora/gateway/status";
inline constexpr char kGatewayStatsTopic[] = "pelmora/gateway/stats";

std::string PointTopic(std::string_view mac, std::string_view name);
std::string EventsTopic(std::string_view mac);
std::string StationStatusTopic(std::string_view mac);
std::string CommandResultsTopic(std::string_view mac);

// Every station's point topics, as a subscription filter.
inline constexpr char kAllPointsFilter[] = "pelmora/+/points/#";

// The station MAC and point name of a point topic; false for any other
// topic, and for a level that NameOfTopicLevel refuses.
bool PointOfTopic(std::string_view topic, std::string* mac, std::string* name);

// Every station's write topics, as a subscription filter.
inline constexpr char kAllWritesFilter[] = "pelmora/+/commands/write/#";

// The station MAC and point name of a write topic; false as PointOfTopic,
// and for a MAC not written as the gateway writes it.
bool WriteOfTopic(std::string_view topic, std::string* mac, std::string* name);

std::string TopicLevelOfName(std::string_view name);

// Host text for a UTF-8 payload field: the same mapping, with '/', '+' and
// '#' kept as they are (only '%' and the bytes that are no printable ASCII
// and no GBK character become %XX).
std::string Utf8OfHostText(std::string_view text);
// Its reverse, as NameOfTopicLevel is for a level.
bool HostTextOfUtf8(std::string_view text, std::string* host);

// The point name a level stands for; false when the level is not exactly
// what TopicLevelOfName writes for some name, so that a point has one topic
// and a topic one point: a bad or lower-case %XX, a %XX for a byte written
// as is ("%41" for "A") or for a pair written as its character, a byte
// left as is that is written %XX, a character GBK lacks, bad UTF-8.
bool NameOfTopicLevel(std::string_view level, std::string* name);

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_TOPIC_TREE_H_

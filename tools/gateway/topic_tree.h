// Point names as MQTT topic levels, and back.
//
// A point name is 8-bit text in the host's code page (GBK) and may hold any
// byte; a topic level must be UTF-8 and may not hold '/', '+', '#' or NUL. The
// level is the name read as GBK:
//   - printable ASCII other than '/', '+', '#' and '%' stays as it is;
//   - a GBK pair becomes its character in UTF-8;
//   - every other byte is written %XX (upper-case hex), '%' itself among
//     them, so that the mapping can be undone byte for byte.
#ifndef PELMORA_TOOLS_GATEWAY_TOPIC_NAME_H_
#define PELMORA_TOOLS_GATEWAY_TOPIC_NAME_H_

#include <string>
#include <string_view>

namespace pelmora::gateway {

std::string TopicLevelOfName(std::string_view name);

// The point name a level stands for; false when the level is not one that
// TopicLevelOfName writes (a bad %XX, a character GBK lacks, bad UTF-8).
bool NameOfTopicLevel(std::string_view level, std::string* name);

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_TOPIC_NAME_H_

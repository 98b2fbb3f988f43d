// One MQTT message as the gateway's parts make it and the broker link sends
// it, or as the broker link hands over what arrived.
#ifndef PELMORA_TOOLS_GATEWAY_MESSAGE_H_
#define PELMORA_TOOLS_GATEWAY_MESSAGE_H_

#include <cstddef>
#include <string>

namespace pelmora::gateway {

struct Message {
  std::string topic;
  std::string payload;
  bool retain = false;
  int qos = 1;
  // Meaningful only within the broker connection it was made for (a
  // Sparkplug sequence number, a birth): dropped, not sent, once the
  // connection it waited for has ended.
  bool session = false;
  // A message that arrived with a payload longer than the gateway takes
  // for its topic: the payload's length as published, the payload itself
  // left behind (empty); 0 for any other.
  std::size_t refusedLength = 0;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_MESSAGE_H_

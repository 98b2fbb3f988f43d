// Sparkplug B: an edge node (sparkplug_node.h) follows the station table and
// speaks for it under a will of its own, a bdSeq kept across restarts, with
// births a primary host may ask for again and writes that come as DCMDs.
#ifndef PELMORA_TOOLS_GATEWAY_SPARKPLUG_MODE_H_
#define PELMORA_TOOLS_GATEWAY_SPARKPLUG_MODE_H_

#include <memory>
#include <string>

#include "publishing_mode.h"
#include "sparkplug_node.h"

namespace pelmora::gateway {

// The node's bdSeq is kept in the file at `bdSeqPath` (none when empty).
std::unique_ptr<PublishingMode> MakeSparkplugMode(SparkplugNode::Options node,
                                                  std::string bdSeqPath);

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_SPARKPLUG_MODE_H_

// The gateway's figures for a monitoring system that scrapes them: every
// count of the stats line as a Prometheus counter (per kind, reason,
// verdict or state as a label), the broker link and the stations as gauges,
// and the Sparkplug births where the node makes them.
//
// The figures live on the main loop's thread and the scrapes come on HTTP
// server threads: the loop posts a copy to a MetricsBoard each round, and a
// scrape formats the copy it finds there.
#ifndef PELMORA_TOOLS_GATEWAY_GATEWAY_METRICS_H_
#define PELMORA_TOOLS_GATEWAY_GATEWAY_METRICS_H_

#include <cstddef>
#include <optional>
#include <string>

#include "gateway_stats.h"
#include "sparkplug_node.h"
#include "sync/mutex.h"

namespace pelmora::gateway {

// The figures as the loop saw them at the end of one round.
struct GatewayFigures {
  GatewayStats::Totals totals;
  GatewayStats::Link link;
  std::size_t stationsOnline = 0;
  // Sparkplug mode only.
  std::optional<SparkplugNode::BirthCounts> births;
};

// The Content-Type of MetricsText's answer.
extern const char kMetricsContentType[];

// The figures in the Prometheus text format (version 0.0.4): a HELP and a
// TYPE line per family, then its samples. A count the system does not keep
// (kernel drops where not counted, the Sparkplug families in the topic-tree
// mode) is absent, never 0.
std::string MetricsText(const GatewayFigures& figures);

class MetricsBoard {
 public:
  // Main loop: the figures of the round just done.
  void Post(const GatewayFigures& figures) EXCLUDES(mutex_);
  // Any thread: the last figures posted, as MetricsText; empty before the
  // first.
  std::string Text() const EXCLUDES(mutex_);

 private:
  mutable Mutex mutex_;
  std::optional<GatewayFigures> figures_ GUARDED_BY(mutex_);
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_GATEWAY_METRICS_H_

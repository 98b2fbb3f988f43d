#include "gateway_metrics.h"

#include <cstdint>

namespace pelmora::gateway {

const char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

namespace {

constexpr char kPrefix[] = "pelmora_gateway_";

// The families of one answer, each announced once before its samples.
// Label values are the stats' own names (lower-case ASCII words), which
// need no escaping.
class Families {
 public:
  explicit Families(std::string* text) : text_(*text) {}

  Families& Family(const char* name, const char* type, const char* help) {
    name_ = name;
    text_.append("# HELP ").append(kPrefix).append(name).append(" ");
    text_.append(help).append("\n# TYPE ").append(kPrefix).append(name);
    text_.append(" ").append(type).append("\n");
    return *this;
  }
  Families& Sample(std::uint64_t value) {
    text_.append(kPrefix).append(name_).append(" ");
    text_.append(std::to_string(value)).append("\n");
    return *this;
  }
  // One sample per count, its name under `label`.
  template <std::size_t N>
  Families& Samples(const char* label,
                    const std::array<GatewayStats::Count, N>& counts) {
    for (const GatewayStats::Count& count : counts) {
      text_.append(kPrefix).append(name_).append("{").append(label);
      text_.append("=\"").append(count.name).append("\"} ");
      text_.append(std::to_string(count.value)).append("\n");
    }
    return *this;
  }

 private:
  std::string& text_;
  const char* name_ = "";
};

}  // namespace

std::string MetricsText(const GatewayFigures& figures) {
  const GatewayStats::Totals& totals = figures.totals;
  const GatewayStats::Link& link = figures.link;
  std::string text;
  Families out(&text);
  out.Family("datagrams_total", "counter",
             "Datagrams taken from admitted stations, by kind.")
      .Samples("kind", totals.datagrams);
  out.Family("records_total", "counter",
             "Records in the datagrams taken, by kind.")
      .Samples("kind", totals.records);
  out.Family("malformed_datagrams_total", "counter",
             "Datagrams that broke a rule of the layout, by the rule.")
      .Samples("reason", totals.malformed);
  out.Family("refused_datagrams_total", "counter",
             "Well-formed datagrams refused, by why.")
      .Samples("reason", totals.refused);
  out.Family("command_replies_total", "counter",
             "Replies to signed commands: taken, or ignored and why.")
      .Samples("verdict", totals.replies);
  out.Family("command_outcomes_total", "counter",
             "What commands came to, as told to whoever asked, by state.")
      .Samples("state", totals.outcomes);
  out.Family("stations", "gauge", "Stations the table keeps.")
      .Sample(link.stations);
  out.Family("stations_online", "gauge",
             "Stations heard from within the silence time.")
      .Sample(figures.stationsOnline);
  out.Family("stations_incomplete", "gauge",
             "Stations whose last snapshot here was incomplete, or who sent "
             "none.")
      .Sample(link.stationsIncomplete);
  out.Family("snapshots_incomplete_total", "counter",
             "Snapshots that ended with a datagram lost while they arrived.")
      .Sample(link.snapshotsIncomplete);
  out.Family("points_cleared_total", "counter",
             "Points cleared because a complete snapshot no longer held them.")
      .Sample(link.pointsCleared);
  if (link.kernelDrops) {
    out.Family("kernel_dropped_datagrams_total", "counter",
               "Datagrams the system dropped for want of room in the receive "
               "buffer.")
        .Sample(*link.kernelDrops);
  }
  out.Family("broker_connected", "gauge",
             "1 while connected to the MQTT broker, else 0.")
      .Sample(link.connected ? 1 : 0);
  out.Family("broker_backlog_messages", "gauge",
             "Messages waiting for the broker or for its acknowledgement.")
      .Sample(link.backlog);
  out.Family("broker_dropped_events_total", "counter",
             "Events dropped, the oldest first, from the full queue for the "
             "broker.")
      .Sample(link.dropped);
  if (link.commandsRefused) {
    out.Family("sparkplug_commands_refused_total", "counter",
               "Sparkplug writes and snapshot requests refused or failed.")
        .Sample(*link.commandsRefused);
  }
  if (figures.births) {
    out.Family("sparkplug_births_total", "counter",
               "Sparkplug births made: the node's, and its devices'.")
        .Samples("type", std::array<GatewayStats::Count, 2>{
                             {{"NBIRTH", figures.births->node},
                              {"DBIRTH", figures.births->device}}});
  }
  return text;
}

void MetricsBoard::Post(const GatewayFigures& figures) {
  Locked<Mutex> lock(mutex_);
  figures_ = figures;
}

std::string MetricsBoard::Text() const {
  std::optional<GatewayFigures> figures;
  {
    Locked<Mutex> lock(mutex_);
    figures = figures_;
  }
  return figures ? MetricsText(*figures) : std::string();
}

}  // namespace pelmora::gateway

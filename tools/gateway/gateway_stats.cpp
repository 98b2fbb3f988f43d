#include "gateway_stats.h"

#include <cstdio>

#include "json_text.h"

namespace pelmora::gateway {

namespace {

constexpr std::uint8_t kKinds[] = {wire::kKindItem, wire::kKindEvent,
                                   wire::kKindSnapshot};
constexpr const char* kReplyNames[wire::kReplyVerdicts] = {
    "taken", "no_key", "bad_signature", "not_answering", "wrong_address"};

std::string Fixed1(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string Rate(std::uint64_t count, double seconds) {
  return Fixed1(seconds > 0 ? static_cast<double>(count) / seconds : 0.0);
}

}  // namespace

void GatewayStats::CountDatagram(const wire::Datagram& datagram) {
  for (std::size_t i = 0; i < interval_.size(); ++i) {
    if (kKinds[i] != datagram.kind) continue;
    ++interval_[i].datagrams;
    interval_[i].records += datagram.records.size();
    ++total_[i].datagrams;
    total_[i].records += datagram.records.size();
  }
}

void GatewayStats::CountMalformed(wire::Malformed reason) {
  ++malformed_[static_cast<std::size_t>(reason)];
}

void GatewayStats::CountRefused(Refusal reason) {
  ++refused_[static_cast<std::size_t>(reason)];
}

void GatewayStats::CountReply(wire::ReplyVerdict verdict) {
  ++replies_[static_cast<std::size_t>(verdict)];
}

void GatewayStats::CountOutcome(wire::CommandState state) {
  ++outcomes_[static_cast<std::size_t>(state)];
}

GatewayStats::Totals GatewayStats::totals() const {
  Totals totals;
  for (std::size_t i = 0; i < total_.size(); ++i) {
    const char* kind = wire::KindName(kKinds[i]);
    totals.datagrams[i] = {kind, total_[i].datagrams};
    totals.records[i] = {kind, total_[i].records};
  }
  for (std::size_t i = 0; i < malformed_.size(); ++i) {
    totals.malformed[i] = {wire::MalformedName(static_cast<wire::Malformed>(i)),
                           malformed_[i]};
  }
  // The first reason is none: what was not refused.
  for (std::size_t i = 1; i < refused_.size(); ++i)
    totals.refused[i - 1] = {RefusalName(static_cast<Refusal>(i)), refused_[i]};
  for (std::size_t i = 0; i < replies_.size(); ++i)
    totals.replies[i] = {kReplyNames[i], replies_[i]};
  for (std::size_t i = 0; i < outcomes_.size(); ++i) {
    totals.outcomes[i] = {
        wire::CommandStateName(static_cast<wire::CommandState>(i)),
        outcomes_[i]};
  }
  return totals;
}

void GatewayStats::Report(double seconds, const Link& link, std::string* line,
                          std::string* json) {
  *line = "stats";
  wire::JsonObject datagrams;
  wire::JsonObject records;
  for (std::size_t i = 0; i < interval_.size(); ++i) {
    const std::string kind = wire::KindName(kKinds[i]);
    const std::string datagramRate = Rate(interval_[i].datagrams, seconds);
    const std::string recordRate = Rate(interval_[i].records, seconds);
    *line += " " + kind + "=" + datagramRate + "/" + recordRate;
    datagrams.Json(kind, datagramRate);
    records.Json(kind, recordRate);
  }
  *line += " (datagrams/records per s) malformed";
  wire::JsonObject malformed;
  std::uint64_t malformedTotal = 0;
  for (int i = 0; i < wire::kMalformedKinds; ++i) {
    const std::string name =
        wire::MalformedName(static_cast<wire::Malformed>(i));
    malformed.Number(name, malformed_[i]);
    if (malformed_[i] != 0)
      *line += " " + name + "=" + std::to_string(malformed_[i]);
    malformedTotal += malformed_[i];
  }
  if (malformedTotal == 0) *line += "=0";
  *line += " refused";
  wire::JsonObject refused;
  std::uint64_t refusedTotal = 0;
  for (int i = 1; i < kRefusalKinds; ++i) {
    const std::string name = RefusalName(static_cast<Refusal>(i));
    refused.Number(name, refused_[i]);
    if (refused_[i] != 0)
      *line += " " + name + "=" + std::to_string(refused_[i]);
    refusedTotal += refused_[i];
  }
  if (refusedTotal == 0) *line += "=0";
  wire::JsonObject replies;
  for (std::size_t i = 0; i < replies_.size(); ++i) {
    replies.Number(kReplyNames[i], replies_[i]);
    // Only the ignored ones, and only once there are some.
    if (i != 0 && replies_[i] != 0)
      *line += std::string(" replies_") + kReplyNames[i] + "=" +
               std::to_string(replies_[i]);
  }
  const std::string kernelDrops =
      link.kernelDrops ? std::to_string(*link.kernelDrops) : "not_counted";
  *line += " stations=" + std::to_string(link.stations) +
           " incomplete=" + std::to_string(link.stationsIncomplete) +
           " backlog=" + std::to_string(link.backlog) +
           " dropped=" + std::to_string(link.dropped) +
           " kernel_drops=" + kernelDrops +
           " snapshots_incomplete=" + std::to_string(link.snapshotsIncomplete) +
           " points_cleared=" + std::to_string(link.pointsCleared) +
           (link.connected ? " broker=up" : " broker=down");
  if (link.commandsRefused)
    *line += " commands_refused=" + std::to_string(*link.commandsRefused);
  if (!link.connected && !link.reason.empty())
    *line += " (" + link.reason + ")";

  wire::JsonObject report;
  report.Json("interval_s", Fixed1(seconds))
      .Json("datagrams_per_s", datagrams.Close())
      .Json("records_per_s", records.Close())
      .Json("malformed", malformed.Close())
      .Json("refused", refused.Close())
      .Json("replies", replies.Close())
      .Number("stations", link.stations)
      .Number("stations_incomplete", link.stationsIncomplete)
      .Number("backlog", link.backlog)
      .Number("dropped", link.dropped);
  if (link.kernelDrops) {
    report.Number("kernel_drops", *link.kernelDrops);
  } else {
    report.Null("kernel_drops");
  }
  report.Number("snapshots_incomplete", link.snapshotsIncomplete)
      .Number("points_cleared", link.pointsCleared)
      .Bool("broker_connected", link.connected);
  if (link.commandsRefused)
    report.Number("commands_refused", *link.commandsRefused);
  if (link.reason.empty()) {
    report.Null("broker_reason");
  } else {
    report.Text("broker_reason", link.reason);
  }
  *json = report.Close();
  interval_ = {};
}

}  // namespace pelmora::gateway

#include "sparkplug_mode.h"

#include <cstdio>
#include <utility>

#include "bd_seq_file.h"

namespace pelmora::gateway {
namespace {

// The node's writes, into the command path as it reads them; one that
// cannot be sent it refuses in Sparkplug's own way.
class NodeWrites : public StationCommandSink {
 public:
  explicit NodeWrites(CommandPath& commands) : commands_(commands) {}
  bool WritePoint(const std::string& mac, std::string_view name,
                  std::string_view value) override {
    if (!commands_.Keyed(mac)) return false;
    commands_.Write(mac, std::string(name), std::string(value), "sparkplug");
    return true;
  }

 private:
  CommandPath& commands_;
};

class SparkplugMode : public PublishingMode {
 public:
  SparkplugMode(SparkplugNode::Options node, std::string bdSeqPath)
      : node_(std::move(node)), bdSeqFile_(std::move(bdSeqPath)) {}

  void Configure(BrokerLink::Options* broker) override {
    // Each CONNECT's bdSeq is kept before it is sent: a process that
    // replaces this one starts above it, whenever this one stops.
    broker->will = [this](std::uint64_t connection) {
      std::string error;
      if (!bdSeqFile_.Keep(node_.BdSeqOf(connection), &error) &&
          error != bdSeqError_) {
        std::fprintf(stderr, "pelmora-gateway: warning: %s\n", error.c_str());
        bdSeqError_ = error;
      }
      return node_.Will(connection);
    };
    broker->subscriptions = node_.Subscriptions();
    broker->mqtt5 = true;
  }
  void Attach(StationTable& table, CommandPath& commands,
              BrokerLink& broker) override {
    broker_ = &broker;
    table.Follow(&node_);
    nodeWrites_ = std::make_unique<NodeWrites>(commands);
    node_.set_command_sink(nodeWrites_.get());
  }
  bool Start(std::string* error) override {
    std::uint64_t first = 0;
    if (!bdSeqFile_.Load(&first, error)) return false;
    node_.StartAt(first);
    return true;
  }
  void Connected(std::uint64_t connection, const Moment& now,
                 std::vector<Message>* out) override {
    node_.LimitPackets(broker_->broker_max_packet());
    node_.Connected(connection, now);
    node_.Take(out);
  }
  void Round(const std::vector<Message>& incoming, const Moment& now,
             std::vector<Message>* out) override {
    for (const Message& message : incoming) node_.Receive(message, now);
    if (node_.rebirth_asked() && broker_->left_events() >= birthsMark_) {
      // The data waiting from before still goes first: its events are in
      // no birth.
      node_.Rebirth(now);
      node_.Take(out);
      birthsMark_ = broker_->queued_events() + out->size();
      return;
    }
    node_.Take(out);
  }
  // The node's messages wait in it for the next round's, births among
  // them; its writes arrive with what the broker brought.
  void ReadBack() override {}
  void TableMessages(std::vector<Message>*) override {}
  void TakeWrites(const Moment&) override {}
  std::string TakeConnectionEnd() override {
    if (!node_.TakeConnectionEnd()) return {};
    return "the primary host went offline";
  }
  // The births a changed site file makes wait in the node for the next
  // round, as the messages of a datagram do.
  void SetSite(std::shared_ptr<const SiteFile> site,
               const Moment& now) override {
    node_.SetSite(std::move(site), now);
  }
  void TakeLines(std::vector<std::string>* lines) override {
    node_.TakeLines(lines);
  }
  // Sparkplug has no reply to a command: a write that failed makes the
  // point's value sent again, and the station's next data acknowledges
  // one done.
  void Outcome(const wire::CommandOutcome& outcome, const Moment& now,
               std::vector<Message>* out) override {
    if (outcome.state == wire::CommandState::kRefused ||
        outcome.state == wire::CommandState::kUnanswered) {
      node_.CommandFailed(outcome.mac, outcome.name, outcome.reason, now);
      node_.Take(out);
    }
  }
  void StatsMessages(std::string, const GatewayStats::Link& link,
                     std::size_t stationsOnline, std::uint64_t datagramsRefused,
                     const Moment& now, std::vector<Message>* out) override {
    node_.NoteHealth({stationsOnline, datagramsRefused,
                      link.kernelDrops.value_or(0), link.dropped},
                     now);
    node_.Take(out);
  }
  std::optional<std::uint64_t> refused_commands() const override {
    return node_.refused_commands();
  }
  std::optional<SparkplugNode::BirthCounts> births() const override {
    return node_.births();
  }
  void Stop(std::vector<Message>* out) override {
    node_.Take(out);
    if (auto death = node_.Death()) out->push_back(std::move(*death));
  }

 private:
  SparkplugNode node_;
  BrokerLink* broker_ = nullptr;
  // The broker link's count of events queued once the last births asked
  // for were: they have left when as many have.
  std::uint64_t birthsMark_ = 0;
  // The network thread's, once the broker link has started.
  BdSeqFile bdSeqFile_;
  std::string bdSeqError_;
  std::unique_ptr<NodeWrites> nodeWrites_;
};

}  // namespace

std::unique_ptr<PublishingMode> MakeSparkplugMode(SparkplugNode::Options node,
                                                  std::string bdSeqPath) {
  return std::make_unique<SparkplugMode>(std::move(node), std::move(bdSeqPath));
}

}  // namespace pelmora::gateway

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
    // What was dropped until now was made for an earlier connection: these
    // births restate it.
    broker_->TakeDropped();
    node_.LimitPackets(broker_->broker_max_packet());
    node_.Connected(connection, now);
    sessionFirst_ = broker_->queued_events() + out->size() + 1;
    node_.Take(out);
    MarkBirths(sessionFirst_, *out);
  }
  void Round(const std::vector<Message>& incoming, const Moment& now,
             std::vector<Message>* out) override {
    for (const Message& message : incoming) node_.Receive(message, now);
    HeedDrops();
    if (node_.rebirth_asked() && broker_->left_events() >= birthsMark_) {
      // The data waiting from before still goes first: its events are in
      // no birth.
      node_.Take(out);
      const std::uint64_t first = broker_->queued_events() + out->size() + 1;
      node_.Rebirth(now);
      node_.Take(out);
      MarkBirths(first, *out);
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
  // The births just taken into `out`, the first of them to be the broker
  // link's event number `first`.
  void MarkBirths(std::uint64_t first, const std::vector<Message>& out) {
    birthsFirst_ = first;
    birthsMark_ = broker_->queued_events() + out.size();
  }
  // A message of this connection that the broker link dropped leaves the
  // hosts a gap in seq (or data of a device they never saw born): the
  // births are given again. Not for one of the last births themselves: a
  // queue too short for them, or a broker's limit below one, would drop
  // them again, for ever; that gap is left to a host's Rebirth request.
  // Those dropped while the broker is away, the next connection's births
  // restate.
  void HeedDrops() {
    const bool connected = broker_->connected();
    for (const std::uint64_t number : broker_->TakeDropped()) {
      if (!connected || number < sessionFirst_) continue;
      if (number >= birthsFirst_ && number <= birthsMark_) continue;
      node_.AskRebirth();
    }
  }

  SparkplugNode node_;
  BrokerLink* broker_ = nullptr;
  // The broker link's numbers of the first event of this connection and
  // of the first and last of the last births: they have left when as
  // many events as birthsMark_ have.
  std::uint64_t sessionFirst_ = 0;
  std::uint64_t birthsFirst_ = 0;
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

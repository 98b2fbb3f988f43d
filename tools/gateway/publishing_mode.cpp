#include "publishing_mode.h"

#include <utility>

#include "command_topics.h"
#include "topic_tree.h"

namespace pelmora::gateway {
namespace {

class TopicTreeMode : public PublishingMode {
 public:
  void Configure(BrokerLink::Options*, StationTable::Options*) override {}
  void Attach(StationTable&, wire::StationCommands&) override {}
  void Connected(std::uint64_t, const StationTable& table, const Moment&,
                 std::vector<Message>* out) override {
    table.RetainedState(out);
  }
  void Round(const std::vector<Message>&, const Moment&,
             std::vector<Message>*) override {}
  void Outcome(const wire::CommandOutcome& outcome,
               std::vector<Message>* out) override {
    out->push_back(
        {CommandResultsTopic(outcome.mac), ResultPayload(outcome), false});
  }
  std::optional<Message> StatsMessage(std::string json) const override {
    return Message{kGatewayStatsTopic, std::move(json), true};
  }
  std::optional<std::uint64_t> refused_commands() const override {
    return std::nullopt;
  }
  std::optional<SparkplugNode::BirthCounts> births() const override {
    return std::nullopt;
  }
  // The stations' statuses mean something only while the gateway is
  // online: they say offline before it does.
  void Stop(StationTable& table, std::vector<Message>* out) override {
    table.GoOffline(out);
  }
};

// The node's writes, through the signed command path.
class CommandPath : public StationCommandSink {
 public:
  explicit CommandPath(wire::StationCommands& commands) : commands_(commands) {}
  bool WritePoint(const std::string& mac, std::string_view name,
                  std::string_view value) override {
    if (!commands_.HasKey(mac)) return false;
    commands_.Write(mac, std::string(name), std::string(value), "sparkplug");
    return true;
  }

 private:
  wire::StationCommands& commands_;
};

class SparkplugMode : public PublishingMode {
 public:
  explicit SparkplugMode(SparkplugNode::Options node)
      : node_(std::move(node)) {}

  // The table's own messages are never sent here, so it builds none.
  void Configure(BrokerLink::Options* broker,
                 StationTable::Options* stations) override {
    broker->will = [this](std::uint64_t attempt) {
      return node_.Will(attempt);
    };
    broker->subscriptions = node_.Subscriptions();
    stations->topicTree = false;
  }
  void Attach(StationTable& table, wire::StationCommands& commands) override {
    table.Follow(&node_);
    commandPath_ = std::make_unique<CommandPath>(commands);
    node_.set_command_sink(commandPath_.get());
  }
  void Connected(std::uint64_t attempt, const StationTable&, const Moment& now,
                 std::vector<Message>* out) override {
    node_.Connected(attempt, now);
    node_.Take(out);
  }
  void Round(const std::vector<Message>& incoming, const Moment& now,
             std::vector<Message>* out) override {
    for (const Message& message : incoming) node_.Receive(message, now);
    node_.Take(out);
  }
  // Sparkplug has no reply to a command: a write that failed is only
  // counted, and the station's next data acknowledges one done.
  void Outcome(const wire::CommandOutcome& outcome,
               std::vector<Message>*) override {
    if (outcome.state == wire::CommandState::kRefused ||
        outcome.state == wire::CommandState::kUnanswered) {
      node_.CountFailedCommand();
    }
  }
  std::optional<Message> StatsMessage(std::string) const override {
    return std::nullopt;
  }
  std::optional<std::uint64_t> refused_commands() const override {
    return node_.refused_commands();
  }
  std::optional<SparkplugNode::BirthCounts> births() const override {
    return node_.births();
  }
  void Stop(StationTable&, std::vector<Message>* out) override {
    out->push_back(node_.Death());
  }

 private:
  SparkplugNode node_;
  std::unique_ptr<CommandPath> commandPath_;
};

}  // namespace

std::unique_ptr<PublishingMode> MakeTopicTreeMode() {
  return std::make_unique<TopicTreeMode>();
}

std::unique_ptr<PublishingMode> MakeSparkplugMode(SparkplugNode::Options node) {
  return std::make_unique<SparkplugMode>(std::move(node));
}

}  // namespace pelmora::gateway

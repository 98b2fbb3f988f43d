#include "topic_tree_mode.h"

#include <utility>

#include "command_topics.h"
#include "endpoint.h"
#include "json_text.h"
#include "topic_tree.h"

namespace pelmora::gateway {
namespace {

constexpr char kEmptyValuePayload = '\0';

}  // namespace

std::string PayloadOfValue(std::string_view value) {
  if (!value.empty() && value.front() != kEmptyValuePayload)
    return std::string(value);
  return kEmptyValuePayload + std::string(value);
}

std::string ValueOfPayload(std::string_view payload) {
  if (!payload.empty() && payload.front() == kEmptyValuePayload)
    payload.remove_prefix(1);
  return std::string(payload);
}

TopicTreeMessages::TopicTreeMessages(const StationTable& table, bool json)
    : table_(table), json_(json) {}

void TopicTreeMessages::Take(std::vector<Message>* out) {
  for (Message& message : pending_) out->push_back(std::move(message));
  pending_.clear();
}

void TopicTreeMessages::RetainedState(std::vector<Message>* out) const {
  for (const std::string& mac : table_.Macs()) {
    out->push_back(StatusMessage(mac));
    table_.ForEachPoint(
        mac, [&](const std::string& name, const std::string& value,
                 std::chrono::system_clock::time_point received) {
          out->push_back(PointMessage(mac, name, value, received));
        });
  }
}

void TopicTreeMessages::Statuses(const std::vector<std::string>& macs,
                                 std::vector<Message>* out) const {
  for (const std::string& mac : macs) out->push_back(StatusMessage(mac));
}

void TopicTreeMessages::StationOnline(const std::string& mac, const Moment&) {
  pending_.push_back(StatusMessage(mac));
}

void TopicTreeMessages::PointSet(const std::string& mac, std::string_view name,
                                 std::string_view value, const Moment& now) {
  pending_.push_back(PointMessage(mac, name, value, now.wall));
}

void TopicTreeMessages::Event(const std::string& mac, std::string_view record,
                              const Moment& now) {
  Message event{EventsTopic(mac), std::string(record), false};
  if (json_) {
    std::string_view a;
    std::string_view b;
    wire::SplitRecord(record, &a, &b);
    event.payload = wire::JsonObject()
                        .HostText("a", a, wire::TextEncoding::kGbk)
                        .HostText("b", b, wire::TextEncoding::kGbk)
                        .Text("received", WallText(now.wall))
                        .Close();
  }
  pending_.push_back(std::move(event));
}

void TopicTreeMessages::HeldPointsCleared(const std::string&,
                                          const std::vector<std::string>& names,
                                          const Moment&) {
  heldCleared_ = names;
}

// An empty retained message removes the point from the broker.
void TopicTreeMessages::SnapshotEnded(const std::string& mac,
                                      const std::vector<std::string>& cleared,
                                      bool, const Moment&) {
  for (const std::string& name : cleared)
    pending_.push_back({PointTopic(mac, name), std::string(), true});
  for (const std::string& name : heldCleared_)
    pending_.push_back({PointTopic(mac, name), std::string(), true});
  heldCleared_.clear();
  pending_.push_back(StatusMessage(mac));
}

void TopicTreeMessages::TreeInDoubt(const std::string& mac, const Moment&) {
  pending_.push_back(StatusMessage(mac));
}

void TopicTreeMessages::StationSilent(const std::string& mac, const Moment&) {
  pending_.push_back(StatusMessage(mac));
}

void TopicTreeMessages::PointsHeld(const std::string& mac) {
  pending_.push_back(StatusMessage(mac));
}

Message TopicTreeMessages::StatusMessage(const std::string& mac) const {
  StationTable::StationState state;
  table_.State(mac, &state);
  wire::JsonObject status;
  status.Text("state", state.online ? "online" : "offline")
      .Text("address", wire::EndpointText(state.from))
      .Text("last_seen", WallText(state.lastSeen));
  if (state.everSnapshot) {
    status.Text("last_snapshot", WallText(state.lastSnapshot));
  } else {
    status.Null("last_snapshot");
  }
  status.Bool("complete", state.complete).Number("points", state.points);
  return {StationStatusTopic(mac), status.Close(), true};
}

Message TopicTreeMessages::PointMessage(
    const std::string& mac, std::string_view name, std::string_view value,
    std::chrono::system_clock::time_point received) const {
  Message message{PointTopic(mac, name), PayloadOfValue(value), true};
  if (json_) {
    message.payload = wire::JsonObject()
                          .HostText("value", value, wire::TextEncoding::kGbk)
                          .Text("received", WallText(received))
                          .Close();
  }
  return message;
}

std::vector<StationTable::HeldPoint> HeldPoints(
    const std::vector<Message>& held) {
  std::vector<StationTable::HeldPoint> points;
  for (const Message& message : held) {
    StationTable::HeldPoint point;
    if (PointOfTopic(message.topic, &point.mac, &point.name))
      points.push_back(std::move(point));
  }
  return points;
}

namespace {

// The will, and what a clean stop says last.
Message GatewayOffline() { return {kGatewayStatusTopic, "offline", true}; }

class TopicTreeMode : public PublishingMode {
 public:
  explicit TopicTreeMode(bool json) : json_(json) {}

  // The gateway's "online", live, ends the reading of the tree: the broker
  // has sent every retained message that matched before it.
  void Configure(BrokerLink::Options* broker) override {
    broker->will = [](std::uint64_t) { return GatewayOffline(); };
    broker->writesFilter = kAllWritesFilter;
    broker->readBack = {kAllPointsFilter, kGatewayStatusTopic};
    broker->readBackEnd = kGatewayStatusTopic;
  }
  void Attach(StationTable& table, CommandPath& commands,
              BrokerLink& broker) override {
    table_ = &table;
    commands_ = &commands;
    broker_ = &broker;
    messages_ = std::make_unique<TopicTreeMessages>(table, json_);
    table.Follow(messages_.get());
  }
  bool Start(std::string*) override { return true; }
  // The broker may have lost every retained message with a restart.
  void Connected(std::uint64_t, const Moment&,
                 std::vector<Message>* out) override {
    out->push_back({kGatewayStatusTopic, "online", true});
    messages_->RetainedState(out);
  }
  void Round(const std::vector<Message>&, const Moment&,
             std::vector<Message>*) override {}
  void ReadBack() override { table_->Learn(HeldPoints(broker_->TakeHeld())); }
  void TableMessages(std::vector<Message>* out) override {
    messages_->Take(out);
  }
  void TakeWrites(const Moment& now) override {
    for (const Message& write : broker_->TakeWrites()) {
      // A topic that names no point of a station is no write.
      std::string mac, name, value, id, error;
      if (!WriteOfTopic(write.topic, &mac, &name)) continue;
      if (write.refusedLength != 0) {
        commands_->Refuse(mac, std::move(name), {},
                          PayloadTooLong(write.refusedLength), now);
      } else if (ReadWritePayload(write.payload, &value, &id, &error)) {
        commands_->Write(mac, std::move(name), std::move(value), std::move(id));
      } else {
        commands_->Refuse(mac, std::move(name), std::move(id), std::move(error),
                          now);
      }
    }
  }
  std::string TakeConnectionEnd() override { return {}; }
  void SetSite(std::shared_ptr<const SiteFile>, const Moment&) override {}
  void TakeLines(std::vector<std::string>*) override {}
  void Outcome(const wire::CommandOutcome& outcome, const Moment&,
               std::vector<Message>* out) override {
    out->push_back(
        {CommandResultsTopic(outcome.mac), ResultPayload(outcome), false});
  }
  void StatsMessages(std::string json, const GatewayStats::Link&, std::size_t,
                     std::uint64_t, const Moment&,
                     std::vector<Message>* out) override {
    out->push_back({kGatewayStatsTopic, std::move(json), true});
  }
  std::optional<std::uint64_t> refused_commands() const override {
    return std::nullopt;
  }
  std::optional<SparkplugNode::BirthCounts> births() const override {
    return std::nullopt;
  }
  // The stations' statuses mean something only while the gateway is
  // online: they say offline before it does.
  void Stop(std::vector<Message>* out) override {
    messages_->Take(out);
    messages_->Statuses(table_->GoOffline(), out);
    out->push_back(GatewayOffline());
  }

 private:
  const bool json_;
  StationTable* table_ = nullptr;
  CommandPath* commands_ = nullptr;
  BrokerLink* broker_ = nullptr;
  std::unique_ptr<TopicTreeMessages> messages_;
};

}  // namespace

std::unique_ptr<PublishingMode> MakeTopicTreeMode(bool json) {
  return std::make_unique<TopicTreeMode>(json);
}

}  // namespace pelmora::gateway

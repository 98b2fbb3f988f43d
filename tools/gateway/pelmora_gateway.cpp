// pelmora-gateway: takes the datagrams of many stations on one UDP port and
// publishes their points, events and status to an MQTT broker, so that the
// data lands where dashboards and other consumers already look.
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "broker_link.h"
#include "command_topics.h"
#include "datagram.h"
#include "gateway_options.h"
#include "gateway_stats.h"
#include "site_http.h"
#include "site_view.h"
#include "signed_datagram.h"
#include "sparkplug_node.h"
#include "station_commands.h"
#include "station_table.h"
#include "tool_options.h"
#include "udp_receiver.h"

namespace {

using pelmora::gateway::Message;
using pelmora::gateway::Moment;
using pelmora::gateway::StationCommands;

// The Sparkplug node's writes, through the signed command path.
class CommandPath : public pelmora::gateway::StationCommandSink {
 public:
  explicit CommandPath(StationCommands& commands) : commands_(commands) {}
  bool WritePoint(const std::string& mac, std::string_view name,
                  std::string_view value) override {
    if (!commands_.HasKey(mac)) return false;
    commands_.Write(mac, std::string(name), std::string(value), "sparkplug");
    return true;
  }

 private:
  StationCommands& commands_;
};

// How long the loop waits for a datagram before it looks at the clock and
// the broker (less while messages wait for the broker's acknowledgements);
// also the most datagrams handled between two such looks.
constexpr int kWaitMs = 20;
constexpr int kWaitWhileSendingMs = 1;
constexpr int kBurst = 256;
// What the broker gets to take the last messages when the gateway stops.
constexpr int kStopGraceMs = 2000;

}  // namespace

int main(int argc, char** argv) {
  pelmora::gateway::GatewayOptions options;
  int exitStatus = 0;
  if (!pelmora::gateway::ParseGatewayOptions(argc, argv, &options,
                                             &exitStatus)) {
    return exitStatus;
  }
  pelmora::wire::CatchStopSignals();

  pelmora::wire::UdpReceiver receiver;
  std::string error;
  if (!receiver.Open(options.bindAddress, options.port, &error)) {
    std::fprintf(stderr, "pelmora-gateway: %s\n", error.c_str());
    return 1;
  }
  // In Sparkplug mode the table's own messages are not sent: the node
  // follows the table and speaks for it, under a will of its own.
  pelmora::gateway::SparkplugNode node(options.node);
  if (options.sparkplug) {
    options.broker.will = [&node](std::uint64_t attempt) {
      return node.Will(attempt);
    };
    options.broker.subscriptions = node.Subscriptions();
  }
  pelmora::gateway::BrokerLink broker(options.broker);
  if (!broker.Start(&error)) {
    std::fprintf(stderr, "pelmora-gateway: %s\n", error.c_str());
    return 1;
  }
  // The page's model is fed only while someone may read it.
  pelmora::gateway::SiteView siteView;
  pelmora::gateway::SiteView* view = nullptr;
  std::unique_ptr<pelmora::gateway::SiteHttp> http;
  if (options.http.port >= 0) {
    http = std::make_unique<pelmora::gateway::SiteHttp>(siteView, options.http);
    if (!http->Start(&error)) {
      std::fprintf(stderr, "pelmora-gateway: %s\n", error.c_str());
      return 1;
    }
    view = &siteView;
    std::set<std::string> keyed;
    for (const auto& [mac, key] : options.commands.keys) keyed.insert(mac);
    siteView.SetKeyed(std::move(keyed));
    std::fprintf(stderr, "pelmora-gateway: page at http://%s:%d/\n",
                 options.http.address.c_str(), http->port());
  }
  std::fprintf(stderr,
               "pelmora-gateway: listening on %s:%u (receive buffer %d bytes), "
               "publishing to %s:%d\n",
               options.bindAddress.c_str(), receiver.port(),
               receiver.receive_buffer_bytes(), options.broker.host.c_str(),
               options.broker.port);

  pelmora::gateway::StationTable stations(options.stations);
  if (options.sparkplug) stations.Follow(&node);
  pelmora::gateway::GatewayStats stats;
  StationCommands commands(
      options.commands,
      [&stations](const std::string& mac) { return stations.AddressOf(mac); });
  CommandPath commandPath(commands);
  node.set_command_sink(&commandPath);
  std::vector<pelmora::gateway::OutgoingDatagram> outgoing;
  std::vector<pelmora::gateway::CommandOutcome> outcomes;
  std::vector<Message> messages;
  // Sparkplug has no reply to a command: there, a write that failed is
  // only counted, and the station's next data acknowledges one done.
  const auto publishOutcomes = [&] {
    for (const auto& outcome : outcomes) {
      if (view != nullptr) view->Outcome(outcome);
      if (options.sparkplug) {
        if (outcome.state == pelmora::gateway::CommandState::kRefused ||
            outcome.state == pelmora::gateway::CommandState::kUnanswered) {
          node.CountFailedCommand();
        }
        continue;
      }
      messages.push_back({pelmora::gateway::CommandResultsTopic(outcome.mac),
                          pelmora::gateway::ResultPayload(outcome), false});
    }
    outcomes.clear();
  };
  const auto connected = [&](std::uint64_t attempt, std::vector<Message>* out) {
    if (!options.sparkplug) {
      stations.RetainedState(out);
      return;
    }
    node.Connected(attempt, Moment::Now());
    node.Take(out);
  };
  const auto statsInterval = std::chrono::seconds(options.statsIntervalSeconds);
  auto lastReport = std::chrono::steady_clock::now();
  std::vector<std::uint8_t> bytes;
  pelmora::wire::Endpoint sender;

  while (!pelmora::wire::StopRequested()) {
    messages.clear();
    for (int i = 0;
         i < kBurst && receiver.Receive(&bytes,
                                        i != 0             ? 0
                                        : broker.sending() ? kWaitWhileSendingMs
                                                           : kWaitMs,
                                        &sender);
         ++i) {
      pelmora::wire::SignedDatagram reply;
      if (pelmora::wire::ParseSignedDatagram(bytes.data(), bytes.size(), &reply,
                                             nullptr) &&
          reply.kind == pelmora::wire::kKindReply) {
        stats.CountReply(commands.OnReply(reply, bytes.data(), bytes.size()));
        continue;
      }
      pelmora::wire::Datagram datagram;
      pelmora::wire::Malformed reason;
      if (!pelmora::wire::ParseDatagram(bytes.data(), bytes.size(), &datagram,
                                        nullptr, &reason)) {
        stats.CountMalformed(reason);
        if (view != nullptr) view->Malformed(sender);
        continue;
      }
      const std::size_t before = messages.size();
      const Moment received = Moment::Now();
      const pelmora::gateway::StationTable::Verdict verdict =
          stations.Apply(datagram, sender, received, &messages);
      if (verdict.refusal == pelmora::gateway::Refusal::kNone) {
        stats.CountDatagram(datagram);
        if (view != nullptr) {
          view->Follow(messages.data() + before,
                       messages.data() + messages.size(), stations);
          view->Admit(datagram, sender, received, stations);
        }
        // A station first heard from (since the start, or since it fell
        // silent) is asked for its whole state, once, unless a snapshot of
        // it has already ended here: the broker's tree gets complete and
        // its vanished points cleared without a host restart.
        const std::string mac = pelmora::wire::MacText(datagram.mac);
        if (verdict.cameOnline && !stations.HasSnapshot(mac))
          commands.RequestSnapshot(mac);
        continue;
      }
      stats.CountRefused(verdict.refusal);
      if (verdict.news) {
        std::fprintf(stderr, "pelmora-gateway: refused %s from %s: %s\n",
                     pelmora::wire::MacText(datagram.mac).c_str(),
                     pelmora::wire::EndpointText(sender).c_str(),
                     pelmora::gateway::RefusalName(verdict.refusal));
      }
    }
    const Moment now = Moment::Now();
    const std::size_t fromDatagrams = messages.size();
    stations.Learn(broker.TakeHeld(), &messages);
    stations.Tick(now, &messages);
    if (view != nullptr) {
      view->Follow(messages.data() + fromDatagrams,
                   messages.data() + messages.size(), stations);
    }
    if (options.sparkplug) {
      messages.clear();
      for (const Message& message : broker.TakeIncoming())
        node.Receive(message, now);
      node.Take(&messages);
    }
    for (const Message& write : broker.TakeWrites()) {
      // A topic that names no point of a station is no write.
      std::string mac, name, value, id, error;
      if (!pelmora::gateway::WriteOfTopic(write.topic, &mac, &name)) continue;
      if (pelmora::gateway::ReadWritePayload(write.payload, &value, &id,
                                             &error)) {
        commands.Write(mac, std::move(name), std::move(value), std::move(id));
      } else {
        outcomes.push_back({id, mac, false, name,
                            pelmora::gateway::CommandState::kRefused, error,
                            now.wall});
      }
    }
    // The page's writes go the same way: refused where no key is held.
    if (view != nullptr) {
      for (auto& write : view->TakeWrites()) {
        commands.Write(write.mac, std::move(write.name), std::move(write.value),
                       std::move(write.id));
      }
    }
    commands.Tick(now, &outgoing, &outcomes);
    for (const auto& datagram : outgoing)
      receiver.SendTo(datagram.bytes.data(), datagram.bytes.size(),
                      datagram.to);
    outgoing.clear();
    publishOutcomes();
    for (Message& message : messages) broker.Publish(std::move(message));
    broker.Pump(connected);

    if (now.steady - lastReport >= statsInterval) {
      const std::chrono::duration<double> seconds = now.steady - lastReport;
      lastReport = now.steady;
      std::string line;
      std::string json;
      stats.Report(seconds.count(),
                   {stations.station_count(), broker.backlog(),
                    broker.dropped(), receiver.KernelDrops().value_or(0),
                    broker.connected(), broker.reason(),
                    options.sparkplug
                        ? std::optional<std::uint64_t>(node.refused_commands())
                        : std::nullopt},
                   &line, &json);
      if (options.statsToStdout) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
      }
      if (!options.sparkplug)
        broker.Publish({pelmora::gateway::kGatewayStatsTopic, json, true});
    }
  }
  // Whoever waits for a command's result gets one. The stations' statuses
  // mean something only while the gateway is online; they say offline
  // before it does.
  messages.clear();
  commands.Stop(Moment::Now(), &outcomes);
  publishOutcomes();
  if (http) http->Stop();
  if (options.sparkplug) {
    messages.push_back(node.Death());
  } else {
    stations.GoOffline(&messages);
  }
  broker.Stop(std::move(messages), kStopGraceMs);
  return 0;
}

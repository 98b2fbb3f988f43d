#include "gateway.h"

#include <cstdio>
#include <set>
#include <utility>

#include "command_topics.h"
#include "datagram.h"
#include "signed_datagram.h"
#include "tool_options.h"

namespace pelmora::gateway {
namespace {

// How long the loop waits for a datagram before it looks at the clock and
// the broker (less while messages wait for the broker's acknowledgements);
// also the most datagrams handled between two such looks.
constexpr int kWaitMs = 20;
constexpr int kWaitWhileSendingMs = 1;
constexpr int kBurst = 256;
// What the broker gets to take the last messages when the gateway stops.
constexpr int kStopGraceMs = 2000;

std::unique_ptr<PublishingMode> ModeOf(const GatewayOptions& options) {
  return options.sparkplug ? MakeSparkplugMode(options.node)
                           : MakeTopicTreeMode();
}

GatewayOptions Configured(GatewayOptions options, PublishingMode& mode) {
  mode.Configure(&options.broker, &options.stations);
  return options;
}

}  // namespace

Gateway::Gateway(GatewayOptions options)
    : mode_(ModeOf(options)),
      options_(Configured(std::move(options), *mode_)),
      broker_(options_.broker),
      stations_(options_.stations),
      commands_(options_.commands, [this](const std::string& mac) {
        return stations_.AddressOf(mac);
      }) {
  mode_->Attach(stations_, commands_);
}

bool Gateway::Start(std::string* error) {
  if (!receiver_.Open(options_.bindAddress, options_.port, error) ||
      !broker_.Start(error)) {
    return false;
  }
  if (options_.http.port >= 0) {
    http_ = std::make_unique<SiteHttp>(siteView_, options_.http);
    if (!http_->Start(error)) return false;
    view_ = &siteView_;
    std::set<std::string> keyed;
    for (const auto& [mac, key] : options_.commands.keys) keyed.insert(mac);
    siteView_.SetKeyed(std::move(keyed));
    siteView_.Watch(&stations_);
    std::fprintf(stderr, "pelmora-gateway: page at http://%s:%d/\n",
                 options_.http.address.c_str(), http_->port());
  }
  std::fprintf(stderr,
               "pelmora-gateway: listening on %s:%u (receive buffer %d bytes), "
               "publishing to %s:%d\n",
               options_.bindAddress.c_str(), receiver_.port(),
               receiver_.receive_buffer_bytes(), options_.broker.host.c_str(),
               options_.broker.port);
  lastReport_ = std::chrono::steady_clock::now();
  return true;
}

void Gateway::Run() {
  while (!wire::StopRequested()) {
    messages_.clear();
    TakeBurst();
    const Moment now = Moment::Now();
    stations_.Learn(broker_.TakeHeld(), &messages_);
    stations_.Tick(now, &messages_);
    mode_->Round(broker_.TakeIncoming(), now, &messages_);
    TakeWrites(now);
    SendCommands(now);
    PublishOutcomes();
    Publish();
    Report(now);
  }
  Stop();
}

void Gateway::TakeBurst() {
  wire::Endpoint sender;
  for (int i = 0;
       i < kBurst && receiver_.Receive(&bytes_,
                                       i != 0             ? 0
                                       : broker_.sending() ? kWaitWhileSendingMs
                                                           : kWaitMs,
                                       &sender);
       ++i) {
    Handle(bytes_, sender);
  }
}

void Gateway::Handle(const std::vector<std::uint8_t>& bytes,
                     const wire::Endpoint& sender) {
  wire::SignedDatagram reply;
  if (wire::ParseSignedDatagram(bytes.data(), bytes.size(), &reply, nullptr) &&
      reply.kind == wire::kKindReply) {
    stats_.CountReply(commands_.OnReply(reply, bytes.data(), bytes.size()));
    return;
  }
  wire::Datagram datagram;
  wire::Malformed reason;
  if (!wire::ParseDatagram(bytes.data(), bytes.size(), &datagram, nullptr,
                           &reason)) {
    stats_.CountMalformed(reason);
    if (view_ != nullptr) view_->Malformed(sender);
    return;
  }
  const Moment received = Moment::Now();
  const StationTable::Verdict verdict =
      stations_.Apply(datagram, sender, received, &messages_);
  if (verdict.refusal == Refusal::kNone) {
    stats_.CountDatagram(datagram);
    const std::string mac = wire::MacText(datagram.mac);
    if (view_ != nullptr) view_->Admit(mac, sender, received, stations_);
    // A station first heard from (since the start, or since it fell
    // silent) is asked for its whole state, once, unless a snapshot of it
    // has already ended here: the broker's tree gets complete and its
    // vanished points cleared without a host restart.
    if (verdict.cameOnline && !stations_.HasSnapshot(mac))
      commands_.RequestSnapshot(mac);
    return;
  }
  stats_.CountRefused(verdict.refusal);
  if (verdict.news) {
    std::fprintf(stderr, "pelmora-gateway: refused %s from %s: %s\n",
                 wire::MacText(datagram.mac).c_str(),
                 wire::EndpointText(sender).c_str(),
                 RefusalName(verdict.refusal));
  }
}

void Gateway::TakeWrites(const Moment& now) {
  for (const Message& write : broker_.TakeWrites()) {
    // A topic that names no point of a station is no write.
    std::string mac, name, value, id, error;
    if (!WriteOfTopic(write.topic, &mac, &name)) continue;
    if (ReadWritePayload(write.payload, &value, &id, &error)) {
      commands_.Write(mac, std::move(name), std::move(value), std::move(id));
    } else {
      outcomes_.push_back(
          {id, mac, false, name, CommandState::kRefused, error, now.wall});
    }
  }
  // The page's writes go the same way: refused where no key is held.
  if (view_ != nullptr) {
    for (auto& write : view_->TakeWrites()) {
      commands_.Write(write.mac, std::move(write.name), std::move(write.value),
                      std::move(write.id));
    }
  }
}

void Gateway::SendCommands(const Moment& now) {
  commands_.Tick(now, &outgoing_, &outcomes_);
  for (const auto& datagram : outgoing_)
    receiver_.SendTo(datagram.bytes.data(), datagram.bytes.size(), datagram.to);
  outgoing_.clear();
}

void Gateway::PublishOutcomes() {
  for (const auto& outcome : outcomes_) {
    if (view_ != nullptr) view_->Outcome(outcome);
    mode_->Outcome(outcome, &messages_);
  }
  outcomes_.clear();
}

void Gateway::Publish() {
  for (Message& message : messages_) broker_.Publish(std::move(message));
  broker_.Pump([this](std::uint64_t attempt, std::vector<Message>* out) {
    mode_->Connected(attempt, stations_, Moment::Now(), out);
  });
}

void Gateway::Report(const Moment& now) {
  const auto interval = std::chrono::seconds(options_.statsIntervalSeconds);
  if (now.steady - lastReport_ < interval) return;
  const std::chrono::duration<double> seconds = now.steady - lastReport_;
  lastReport_ = now.steady;
  std::string line;
  std::string json;
  stats_.Report(seconds.count(),
                {stations_.station_count(), broker_.backlog(),
                 broker_.dropped(), receiver_.KernelDrops().value_or(0),
                 broker_.connected(), broker_.reason(),
                 mode_->refused_commands()},
                &line, &json);
  if (options_.statsToStdout) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
  if (auto message = mode_->StatsMessage(std::move(json)))
    broker_.Publish(std::move(*message));
}

void Gateway::Stop() {
  messages_.clear();
  commands_.Stop(Moment::Now(), &outcomes_);
  PublishOutcomes();
  if (http_) http_->Stop();
  mode_->Stop(stations_, &messages_);
  broker_.Stop(std::move(messages_), kStopGraceMs);
}

}  // namespace pelmora::gateway

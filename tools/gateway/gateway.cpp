#include "gateway.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <set>
#include <utility>

#include "bd_seq_file.h"
#include "datagram.h"
#include "signed_datagram.h"
#include "sparkplug_mode.h"
#include "tool_options.h"
#include "topic_tree_mode.h"

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
// Snapshot requests under way at once: each brings a burst of the
// station's whole state, which the receive buffer must hold beside the
// stations' own traffic.
constexpr std::size_t kSnapshotsUnderWay = 32;

std::unique_ptr<PublishingMode> ModeOf(const GatewayOptions& options) {
  if (!options.sparkplug) return MakeTopicTreeMode(options.json);
  return MakeSparkplugMode(
      options.node,
      options.stateDirectory.empty()
          ? std::string()
          : BdSeqFile::PathIn(options.stateDirectory, options.node.group,
                              options.node.edgeNode));
}

// Set by SIGHUP, taken by the loop.
volatile std::sig_atomic_t siteReloadAsked = 0;

void OnReloadSignal(int) { siteReloadAsked = 1; }

GatewayOptions Configured(GatewayOptions options, PublishingMode& mode) {
  mode.Configure(&options.broker);
  return options;
}

}  // namespace

Gateway::Gateway(GatewayOptions options)
    : mode_(ModeOf(options)),
      options_(Configured(std::move(options), *mode_)),
      broker_(options_.broker),
      stations_(options_.stations),
      commands_(
          options_.commands,
          [this](const std::string& mac) { return stations_.AddressOf(mac); }),
      commandPath_(commands_),
      snapshots_({kSnapshotsUnderWay, options_.stations.settle}, commands_,
                 stations_),
      log_([this](const std::string& mac) { return commands_.HasKey(mac); }) {
  mode_->Attach(stations_, commandPath_, broker_);
  stations_.Follow(&snapshots_);
  stations_.Follow(&log_);
}

bool Gateway::Start(std::string* error) {
  if (!options_.stateDirectory.empty() &&
      !wire::MakeStateDirectory(options_.stateDirectory, error)) {
    return false;
  }
  if ((!options_.commands.keys.empty() && !commands_.Load(error)) ||
      !mode_->Start(error)) {
    return false;
  }
  mode_->SetSite(options_.site, Moment::Now());
  if (!receiver_.Open(options_.bindAddress, options_.port, error,
                      options_.receiveBufferBytes) ||
      !broker_.Start(error)) {
    return false;
  }
  if (options_.http.port >= 0) {
    http_ = std::make_unique<SiteHttp>(siteView_, options_.http);
    http_->set_metrics(&metrics_);
    if (!http_->Start(error)) return false;
    view_ = &siteView_;
    std::set<std::string> keyed;
    for (const auto& [mac, key] : options_.commands.keys) keyed.insert(mac);
    siteView_.SetKeyed(std::move(keyed));
    siteView_.Watch(&stations_);
    if (options_.site) siteView_.SetSite(options_.site, Moment::Now());
    std::fprintf(stderr, "pelmora-gateway: page at %s://%s:%d/\n",
                 http_->scheme(), options_.http.address.c_str(), http_->port());
  }
  if (options_.metricsPort >= 0) {
    metricsHttp_ = std::make_unique<MetricsHttp>(
        metrics_, options_.metricsAddress, options_.metricsPort);
    if (!metricsHttp_->Start(error)) return false;
    std::fprintf(stderr, "pelmora-gateway: metrics at http://%s:%d/metrics\n",
                 options_.metricsAddress.c_str(), metricsHttp_->port());
  }
  const wire::ReceiveBuffer& buffer = receiver_.receive_buffer();
  std::fprintf(stderr,
               "pelmora-gateway: listening on %s:%u (receive buffer %d bytes), "
               "publishing to %s:%d\n",
               options_.bindAddress.c_str(), receiver_.port(), buffer.granted,
               options_.broker.host.c_str(), options_.broker.port);
  if (!buffer.shortBecause.empty()) {
    std::fprintf(stderr,
                 "pelmora-gateway: warning: the receive buffer holds less "
                 "than the %d bytes asked for: %s\n",
                 buffer.asked, buffer.shortBecause.c_str());
  }
  dropsCounted_ = receiver_.KernelDrops().has_value();
  if (!dropsCounted_) {
    std::fprintf(stderr,
                 "pelmora-gateway: warning: the system does not count the "
                 "datagrams it drops here: no snapshot is known complete, and "
                 "none clears a point\n");
  }
  // A reload asked of a gateway without a site file is said and ignored,
  // never the end the signal would otherwise be.
  std::signal(SIGHUP, OnReloadSignal);
  lastReport_ = std::chrono::steady_clock::now();
  return true;
}

void Gateway::Run() {
  while (!wire::StopRequested()) {
    messages_.clear();
    // What arrived from the broker is heeded before the datagrams that
    // follow it: a rebirth request is answered before any more data.
    mode_->Round(broker_.TakeIncoming(), Moment::Now(), &messages_);
    TakeBurst();
    const Moment now = Moment::Now();
    CountLosses(now);
    mode_->ReadBack();
    stations_.Tick(now);
    mode_->TableMessages(&messages_);
    TakeWrites(now);
    snapshots_.Tick(now);
    SendCommands(now);
    PublishOutcomes(now);
    Publish();
    Report(now);
    Log(now);
    Supervise(now);
    ReloadSite(now);
    PostFigures();
  }
  Stop();
}

void Gateway::TakeBurst() {
  wire::Endpoint sender;
  int taken = 0;
  while (taken < kBurst && !broker_.incoming_waiting() &&
         receiver_.Receive(&bytes_,
                           taken != 0          ? 0
                           : broker_.sending() ? kWaitWhileSendingMs
                                               : kWaitMs,
                           &sender)) {
    ++taken;
    // Every drop before this datagram was queued.
    drops_ = std::max(drops_, receiver_.drops_before_last());
    Handle(bytes_, sender);
  }
  // Nothing was waiting: every drop known by now happened before the
  // datagrams still to come were queued. (A burst that the broker cut
  // short says nothing of what waits.)
  if (taken < kBurst && !broker_.incoming_waiting()) dropsBeforeIdle_ = drops_;
}

StationTable::Losses Gateway::Losses() const {
  return {drops_, dropsBeforeIdle_, dropsCounted_};
}

void Gateway::Handle(const std::vector<std::uint8_t>& bytes,
                     const wire::Endpoint& sender) {
  wire::SignedDatagram reply;
  if (wire::ParseSignedDatagram(bytes.data(), bytes.size(), &reply, nullptr) &&
      reply.kind == wire::kKindReply) {
    stats_.CountReply(commands_.OnReply(reply, bytes.data(), bytes.size(),
                                        sender,
                                        std::chrono::steady_clock::now()));
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
  // A snapshot this datagram ends must know of every drop before it.
  stations_.NoteLosses(Losses(), received);
  const StationTable::Verdict verdict =
      stations_.Apply(datagram, sender, received);
  const std::string mac = wire::MacText(datagram.mac);
  if (verdict.refusal == Refusal::kNone) {
    stats_.CountDatagram(datagram);
    if (view_ != nullptr) view_->Admit(mac, sender, received, stations_);
    // A station first heard from (since the start, or since it fell
    // silent) with no complete snapshot here is asked for its whole state,
    // in its turn: the broker's tree gets complete and its vanished points
    // cleared without a host restart. One that starts with a snapshot is
    // sending it already.
    if (verdict.wantsSnapshot) snapshots_.Want(mac);
    return;
  }
  stats_.CountRefused(verdict.refusal);
  log_.Refused(verdict.refusal, mac, sender, received);
}

void Gateway::CountLosses(const Moment& now) {
  const std::optional<std::uint64_t> counted = receiver_.KernelDrops();
  dropsCounted_ = counted.has_value();
  if (counted) drops_ = std::max(drops_, *counted);
  stations_.NoteLosses(Losses(), now);
  log_.Dropped(drops_ - dropsLogged_, drops_, now);
  dropsLogged_ = drops_;
}

void Gateway::TakeWrites(const Moment& now) {
  mode_->TakeWrites(now);
  // The page's writes go the same way: refused where no key is held.
  if (view_ != nullptr) {
    for (auto& write : view_->TakeWrites()) {
      commandPath_.Write(write.mac, std::move(write.name),
                         std::move(write.value), std::move(write.id));
    }
  }
}

void Gateway::SendCommands(const Moment& now) {
  commandPath_.TakeRefused(&outcomes_);
  commands_.Tick(now, &outgoing_, &outcomes_);
  for (const auto& datagram : outgoing_)
    receiver_.SendTo(datagram.bytes.data(), datagram.bytes.size(), datagram.to);
  outgoing_.clear();
}

void Gateway::PublishOutcomes(const Moment& now) {
  for (const auto& outcome : outcomes_) {
    stats_.CountOutcome(outcome.state);
    snapshots_.Outcome(outcome, now);
    if (view_ != nullptr) view_->Outcome(outcome);
    mode_->Outcome(outcome, now, &messages_);
  }
  outcomes_.clear();
}

void Gateway::Publish() {
  for (Message& message : messages_) broker_.Publish(std::move(message));
  if (std::string why = mode_->TakeConnectionEnd(); !why.empty())
    broker_.EndConnection(std::move(why));
  broker_.Pump([this](std::uint64_t connection, std::vector<Message>* out) {
    const Moment now = Moment::Now();
    mode_->Connected(connection, now, out);
    // The counters kept from before say the broker is away: a broker just
    // reached gets them as they are now.
    Stats(now, out);
  });
}

void Gateway::Report(const Moment& now) {
  const auto interval = std::chrono::seconds(options_.statsIntervalSeconds);
  if (now.steady - lastReport_ < interval) return;
  std::vector<Message> stats;
  Stats(now, &stats);
  for (Message& message : stats) broker_.Publish(std::move(message));
}

void Gateway::Stats(const Moment& now, std::vector<Message>* out) {
  const std::chrono::duration<double> seconds = now.steady - lastReport_;
  lastReport_ = now.steady;
  std::string line;
  std::string json;
  const GatewayStats::Link link = LinkState();
  stats_.Report(seconds.count(), link, &line, &json);
  if (options_.statsToStdout) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
  std::uint64_t refused = 0;
  for (const GatewayStats::Count& count : stats_.totals().refused)
    refused += count.value;
  mode_->StatsMessages(std::move(json), link, stations_.online_count(), refused,
                       now, out);
}

GatewayStats::Link Gateway::LinkState() const {
  GatewayStats::Link link;
  link.stations = stations_.station_count();
  link.stationsIncomplete = stations_.incomplete_count();
  link.backlog = broker_.backlog();
  link.dropped = broker_.dropped();
  if (dropsCounted_) link.kernelDrops = drops_;
  link.snapshotsIncomplete = stations_.incomplete_snapshots();
  link.pointsCleared = stations_.cleared_points();
  link.connected = broker_.connected();
  if (!link.connected) link.reason = broker_.reason();
  link.commandsRefused = mode_->refused_commands();
  return link;
}

void Gateway::Log(const Moment& now, bool all) {
  logLines_.clear();
  log_.Take(now, &logLines_, all);
  mode_->TakeLines(&logLines_);
  for (const std::string& line : logLines_)
    std::fprintf(stderr, "pelmora-gateway: %s\n", line.c_str());
}

void Gateway::Supervise(const Moment& now) {
  notifier_.Round(now.steady, broker_.tried(), [this] { return StatusLine(); });
}

std::string Gateway::StatusLine() const {
  std::string line = "UDP " + options_.bindAddress + ":" +
                     std::to_string(receiver_.port()) + ", broker ";
  if (broker_.connected()) {
    line += "up";
  } else {
    line += "down (" + broker_.reason() + ")";
  }
  return line + ", " + std::to_string(stations_.station_count()) +
         " stations (" + std::to_string(stations_.online_count()) + " online)";
}

void Gateway::ReloadSite(const Moment& now) {
  if (siteReloadAsked == 0) return;
  siteReloadAsked = 0;
  if (options_.sitePath.empty()) {
    std::fprintf(stderr,
                 "pelmora-gateway: SIGHUP: no site file to read again "
                 "(--site)\n");
    return;
  }
  auto site = std::make_shared<SiteFile>();
  std::string error;
  if (!SiteFile::Load(options_.sitePath, site.get(), &error)) {
    std::fprintf(stderr,
                 "pelmora-gateway: site file %s; keeping the one read before\n",
                 error.c_str());
    return;
  }
  const std::size_t stations = site->stations();
  const std::size_t points = site->point_rules();
  const std::size_t events = site->event_rules();
  mode_->SetSite(site, now);
  if (view_ != nullptr) view_->SetSite(std::move(site), now);
  std::fprintf(stderr,
               "pelmora-gateway: site file %s read again: %zu stations, %zu "
               "point lines, %zu event lines\n",
               options_.sitePath.c_str(), stations, points, events);
}

void Gateway::PostFigures() {
  if (!http_ && !metricsHttp_) return;
  GatewayFigures figures;
  figures.totals = stats_.totals();
  figures.link = LinkState();
  figures.stationsOnline = stations_.online_count();
  figures.births = mode_->births();
  metrics_.Post(figures);
}

void Gateway::Stop() {
  std::fprintf(stderr, "pelmora-gateway: stopping\n");
  notifier_.Stopping();
  messages_.clear();
  const Moment now = Moment::Now();
  commands_.Stop(now, &outcomes_);
  PublishOutcomes(now);
  if (http_) http_->Stop();
  if (metricsHttp_) metricsHttp_->Stop();
  mode_->Stop(&messages_);
  broker_.Stop(std::move(messages_), kStopGraceMs);
  Log(Moment::Now(), true);
  const std::size_t left = broker_.backlog();
  if (left == 0) {
    std::fprintf(stderr, "pelmora-gateway: stopped\n");
  } else {
    std::fprintf(stderr,
                 "pelmora-gateway: stopped; %zu messages did not reach the "
                 "broker\n",
                 left);
  }
}

}  // namespace pelmora::gateway

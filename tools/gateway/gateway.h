// The gateway's loop: takes the stations' datagrams from one UDP port, keeps
// the station table, sends the signed commands asked for, feeds the
// operator's page where one is served, and publishes in the mode chosen
// (the pelmora/ tree or Sparkplug B) through the broker link.
//
// It counts the datagrams the system dropped for want of room as they
// happen, and tells the table, whose snapshots are complete only when none
// was lost while they arrived.
//
// Each round ends by telling a service manager that started it (systemd)
// that the loop turns, and by posting its figures for /metrics.
#ifndef PELMORA_TOOLS_GATEWAY_GATEWAY_H_
#define PELMORA_TOOLS_GATEWAY_GATEWAY_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "broker_link.h"
#include "command_path.h"
#include "gateway_log.h"
#include "gateway_metrics.h"
#include "gateway_options.h"
#include "gateway_stats.h"
#include "metrics_http.h"
#include "publishing_mode.h"
#include "service_notifier.h"
#include "site_http.h"
#include "site_view.h"
#include "snapshot_requests.h"
#include "station_commands.h"
#include "station_table.h"
#include "udp_receiver.h"

namespace pelmora::gateway {

// Every call on the thread that made it.
class Gateway {
 public:
  explicit Gateway(GatewayOptions options);

  // Opens the UDP port, starts the broker link and the page if one is
  // asked for, and says where it listens on stderr; false with why when
  // one of them cannot start.
  bool Start(std::string* error);

  // Runs until a stop signal, then stops: whoever waits for a command's
  // result gets one, and the mode's last messages get the broker's grace.
  void Run();

 private:
  // Takes up to a burst of datagrams, the first after a short wait.
  void TakeBurst();
  // One datagram from `sender`: a station's reply, or its data.
  void Handle(const std::vector<std::uint8_t>& bytes,
              const wire::Endpoint& sender);
  // The system's drop count as it stands now, told to the table and the log.
  void CountLosses(const Moment& now);
  StationTable::Losses Losses() const;
  // The writes that wait for the main thread, the mode's and the page's,
  // into the command path.
  void TakeWrites(const Moment& now);
  void SendCommands(const Moment& now);
  void PublishOutcomes(const Moment& now);
  void Publish();
  // The counters when their interval is over.
  void Report(const Moment& now);
  // The counters now, as a line on stdout and the mode's messages.
  void Stats(const Moment& now, std::vector<Message>* out);
  // The broker link's and the table's state, for the counters.
  GatewayStats::Link LinkState() const;
  // The log's lines due now (all of them, when `all`).
  void Log(const Moment& now, bool all = false);
  // Ready once the port is bound and the broker tried; the watchdog's beat
  // and the status line.
  void Supervise(const Moment& now);
  // "UDP ADDR:PORT, broker up, N stations (M online)".
  std::string StatusLine() const;
  // The site file read again after a SIGHUP: the page and the mode (the
  // Sparkplug births' properties) follow the new one, or keep the one
  // before when the new one is at fault, with the line named on stderr.
  void ReloadSite(const Moment& now);
  // The figures as they stand, for whoever scrapes /metrics.
  void PostFigures();
  void Stop();

  std::unique_ptr<PublishingMode> mode_;
  GatewayOptions options_;
  wire::UdpReceiver receiver_;
  BrokerLink broker_;
  StationTable stations_;
  GatewayStats stats_;
  wire::StationCommands commands_;
  CommandPath commandPath_;
  SnapshotRequests snapshots_;
  GatewayLog log_;
  // The page's model, fed only while someone may read it.
  SiteView siteView_;
  SiteView* view_ = nullptr;
  std::unique_ptr<SiteHttp> http_;
  ServiceNotifier notifier_;
  MetricsBoard metrics_;
  std::unique_ptr<MetricsHttp> metricsHttp_;
  std::chrono::steady_clock::time_point lastReport_;

  // Datagrams the system dropped: the most known so far, the count known
  // when nothing was last waiting to be read, and the count last logged.
  std::uint64_t drops_ = 0;
  std::uint64_t dropsBeforeIdle_ = 0;
  std::uint64_t dropsLogged_ = 0;
  bool dropsCounted_ = false;

  // One round's work, kept to reuse their room.
  std::vector<Message> messages_;
  std::vector<wire::OutgoingDatagram> outgoing_;
  std::vector<wire::CommandOutcome> outcomes_;
  std::vector<std::uint8_t> bytes_;
  std::vector<std::string> logLines_;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_GATEWAY_H_

// What the gateway's two ways of speaking to the broker do differently: the
// pelmora/ tree (topic_tree_mode.h) and Sparkplug B (sparkplug_mode.h), where
// a node follows the table and speaks for it. Each follows the station table,
// which builds no message of its own, and gives the broker link its will, its
// topics and what to say on a connection and at a clean stop. The gateway's
// loop is the same for both.
#ifndef PELMORA_TOOLS_GATEWAY_PUBLISHING_MODE_H_
#define PELMORA_TOOLS_GATEWAY_PUBLISHING_MODE_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "broker_link.h"
#include "command_path.h"
#include "gateway_stats.h"
#include "site_file.h"
#include "sparkplug_node.h"
#include "station_table.h"

namespace pelmora::gateway {

// All calls on the main loop's thread.
class PublishingMode {
 public:
  virtual ~PublishingMode() = default;
  // What the mode asks of the broker link (will, subscriptions), before it
  // is made.
  virtual void Configure(BrokerLink::Options* broker) = 0;
  // Joins the table, the command path and the broker link, all of which
  // outlive the mode: the writes asked for on the mode's topics go into the
  // path as they are read.
  virtual void Attach(StationTable& table, CommandPath& commands,
                      BrokerLink& broker) = 0;
  // Before the broker link starts: reads what the mode keeps across
  // restarts; false with `error` naming the file at fault.
  virtual bool Start(std::string* error) = 0;
  // What a broker just (re)connected to gets, for the `connection`th
  // CONNECT: what undoes the will, and what the broker may have lost.
  virtual void Connected(std::uint64_t connection, const Moment& now,
                         std::vector<Message>* out) = 0;
  // One round's own messages, after the table's: `incoming` is what arrived
  // on the subscriptions since the last round.
  virtual void Round(const std::vector<Message>& incoming, const Moment& now,
                     std::vector<Message>* out) = 0;
  // Takes into the table what the broker held of the mode's own retained
  // messages at the last connection, where the mode reads them back; before
  // the round's time is told to the table.
  virtual void ReadBack() = 0;
  // The messages the table's changes of this round make, where the mode
  // sends them in the round they happen; after the table has been told the
  // round's datagrams, losses and time.
  virtual void TableMessages(std::vector<Message>* out) = 0;
  // The writes that wait for the main thread on the mode's own topics, into
  // the command path.
  virtual void TakeWrites(const Moment& now) = 0;
  // Why the connection must end for a new one to start over, once what is
  // queued is sent; empty when it need not. Taken away.
  virtual std::string TakeConnectionEnd() = 0;
  // The site file, as read at start or again after a SIGHUP (null: none).
  // What it makes goes out with the next round's messages.
  virtual void SetSite(std::shared_ptr<const SiteFile> site,
                       const Moment& now) = 0;
  // What the mode has to tell the site on stderr, appended to `lines`.
  virtual void TakeLines(std::vector<std::string>* lines) = 0;
  // What a command's outcome becomes.
  virtual void Outcome(const wire::CommandOutcome& outcome, const Moment& now,
                       std::vector<Message>* out) = 0;
  // What an interval's statistics become, besides the line on stdout:
  // the pelmora/ tree's JSON, or the node's health in Sparkplug.
  virtual void StatsMessages(std::string json, const GatewayStats::Link& link,
                             std::size_t stationsOnline,
                             std::uint64_t datagramsRefused, const Moment& now,
                             std::vector<Message>* out) = 0;
  // Commands and snapshot requests refused, where the mode counts them.
  virtual std::optional<std::uint64_t> refused_commands() const = 0;
  // Sparkplug births made, where the mode makes them.
  virtual std::optional<SparkplugNode::BirthCounts> births() const = 0;
  // The last messages of a gateway that stops, in the order they are to
  // be sent: the broker link adds nothing of its own.
  virtual void Stop(std::vector<Message>* out) = 0;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_PUBLISHING_MODE_H_

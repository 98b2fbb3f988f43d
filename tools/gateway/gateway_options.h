// The gateway's settings: defaults, then a config file, then the command
// line, each overriding the one before.
#ifndef PELMORA_TOOLS_GATEWAY_GATEWAY_OPTIONS_H_
#define PELMORA_TOOLS_GATEWAY_GATEWAY_OPTIONS_H_

#include <cstdint>
#include <memory>
#include <string>

#include "broker_link.h"
#include "site_file.h"
#include "site_http.h"
#include "sparkplug_node.h"
#include "station_commands.h"
#include "station_table.h"

namespace pelmora::gateway {

// The receive buffer asked for unless told otherwise: enough for a snapshot
// of every station the table keeps by default arriving at once (see
// docs/gateway.md, "Bursts and the receive buffer").
inline constexpr int kGatewayReceiveBufferBytes = 384 * 1024 * 1024;

struct GatewayOptions {
  std::string bindAddress = "127.0.0.1";
  std::uint16_t port = 7000;
  // Asked of the system for the UDP socket's buffer.
  int receiveBufferBytes = kGatewayReceiveBufferBytes;
  int statsIntervalSeconds = 10;
  bool statsToStdout = true;
  StationTable::Options stations;
  // The pelmora/ tree's values and events as JSON objects.
  bool json = false;
  BrokerLink::Options broker;
  HttpOptions http;
  // What the page calls stations and points, and what is an alarm: read at
  // the start and again on SIGHUP; none without a file.
  std::string sitePath;
  std::shared_ptr<const SiteFile> site;
  // The metrics alone on a port of their own; off when the port is -1.
  std::string metricsAddress = "127.0.0.1";
  int metricsPort = -1;
  // Sparkplug B instead of the pelmora/ tree.
  bool sparkplug = false;
  SparkplugNode::Options node;
  wire::StationCommands::Options commands;
  // Where the commands' sequences are kept, with keys: given, or the
  // default state folder.
  std::string stateDirectory;
};

extern const char kGatewayUsage[];

// False when the gateway should not run: after --help (`exitStatus` 0), or
// for a bad command line or config file (2, with the reason on stderr).
bool ParseGatewayOptions(int argc, char** argv, GatewayOptions* options,
                         int* exitStatus);

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_GATEWAY_OPTIONS_H_

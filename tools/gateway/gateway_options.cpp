#include "gateway_options.h"

#include <mosquitto.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "endpoint.h"
#include "line_file.h"
#include "page_door.h"
#include "tool_options.h"

namespace pelmora::gateway {

const char kGatewayUsage[] =
    "usage: pelmora-gateway [--config FILE] [options]\n"
    "\n"
    "Receives the plug-in's datagrams from any number of stations and\n"
    "publishes them to an MQTT broker:\n"
    "  pelmora/<MAC>/points/<name>  each point's last value, retained\n"
    "  pelmora/<MAC>/events         each event, in order\n"
    "  pelmora/<MAC>/status         online/offline, last snapshot, whether\n"
    "                               its tree is complete, retained\n"
    "  pelmora/<MAC>/commands/results  outcomes of signed commands\n"
    "  pelmora/gateway/status       online, or offline (also the will)\n"
    "  pelmora/gateway/stats        the counters, retained\n"
    "\n"
    "  --bind ADDR            IPv4 address to listen on (default 127.0.0.1)\n"
    "  --port N               UDP port (default 7000; 0 picks a free one)\n"
    "  --rcvbuf BYTES         receive buffer asked of the system (default\n"
    "                         402653184): room for a burst of snapshots;\n"
    "                         beyond net.core.rmem_max only with privilege\n"
    "  --broker HOST          MQTT broker (default 127.0.0.1)\n"
    "  --broker-port N        its port (default 1883)\n"
    "  --client-id ID         MQTT client id (default pelmora-gateway-PID;\n"
    "                         with --sparkplug pelmora-gateway-GROUP-NODE)\n"
    "  --cafile FILE          connect with TLS, trusting this CA file\n"
    "  --certfile FILE        TLS client certificate (with --keyfile)\n"
    "  --keyfile FILE         its private key\n"
    "  --user NAME            user name for the broker\n"
    "  --password-file FILE   the broker password: the file's first line\n"
    "  --password TEXT        the password itself (any user can read it\n"
    "                         from the process list: prefer the file)\n"
    "  --json                 values and events as JSON objects: the text\n"
    "                         decoded from GBK, the time received\n"
    "  --silence SECONDS      a station silent this long is offline\n"
    "                         (default 60)\n"
    "  --settle MS            a snapshot has ended when its station sent no\n"
    "                         snapshot datagram for this long (default 2000)\n"
    "  --station 'MAC ADDR[/BITS]'  trust MAC only from this address or\n"
    "                         network; once given, only the stations listed\n"
    "                         (repeat it; in the config file one a line)\n"
    "  --keys FILE            station keys for signed commands: 'MAC KEY'\n"
    "                         lines, KEY 64 hex digits as in the station's\n"
    "                         Pelmora.ini; readable by the gateway's user\n"
    "                         alone (a warning otherwise)\n"
    "  --validity MS          how long a command may act after it is\n"
    "                         signed, on the station's clock (default 5000,\n"
    "                         at most 60000)\n"
    "  --state-dir DIR        where the commands' sequences and the\n"
    "                         Sparkplug bdSeq are kept, so that a restart\n"
    "                         continues above them (default\n"
    "                         $STATE_DIRECTORY, else $XDG_STATE_HOME/pelmora,\n"
    "                         else ~/.local/state/pelmora)\n"
    "  --max-stations N       stations kept at most (default 10000); a new\n"
    "                         one beyond is refused and counted\n"
    "  --queue N              events held for the broker (default 100000);\n"
    "                         beyond it the oldest go, counted as dropped\n"
    "  --in-flight N          messages sent to the broker and not yet\n"
    "                         acknowledged, at most (default 1000)\n"
    "  --max-packet BYTES     the broker's largest packet (mosquitto's\n"
    "                         max_packet_size): a Sparkplug DBIRTH over it\n"
    "                         is refused, not sent (default: no limit)\n"
    "  --reconnect-max SECONDS  longest wait between two connection\n"
    "                         attempts, after any failure, TLS too: 1, 2,\n"
    "                         4, ... seconds up to this (default 30)\n"
    "  --http [ADDR:]PORT     serve the operator's page and its JSON on\n"
    "                         this TCP port (0 picks a free one), on\n"
    "                         loopback unless ADDR is given (default off)\n"
    "  --http-name NAME       a host name browsers reach the page by,\n"
    "                         besides its address and localhost (repeat it)\n"
    "  --http-token-file FILE the token that lets the page write to stations\n"
    "                         whose keys are here, and read beyond loopback:\n"
    "                         the file's first line, at least 128 bits (make\n"
    "                         one: openssl rand -base64 24), the file\n"
    "                         readable by its owner alone (without it the\n"
    "                         page writes nothing)\n"
    "  --http-cert FILE       serve the page over TLS with this certificate\n"
    "                         chain (PEM); writes beyond loopback need it\n"
    "  --http-key FILE        its private key (PEM), readable by its owner\n"
    "                         alone\n"
    "  --http-open-reads      beyond loopback, let anyone read the page\n"
    "                         without the token\n"
    "  --site FILE            names, units and limits of stations and\n"
    "                         points, and alarm rules, for the page and as\n"
    "                         Sparkplug metric properties (read again on\n"
    "                         SIGHUP; see docs/gateway.md)\n"
    "  --metrics [ADDR:]PORT  serve the gateway's figures for Prometheus\n"
    "                         (GET /metrics) on this TCP port (0 picks a\n"
    "                         free one), on loopback unless ADDR is given,\n"
    "                         without the page (the page serves them too)\n"
    "  --sparkplug            publish Sparkplug B as one edge node instead,\n"
    "                         each station a device named by its MAC (needs\n"
    "                         --group and --edge-node; docs/sparkplug.md)\n"
    "  --group ID             its Sparkplug group id\n"
    "  --edge-node ID         its Sparkplug edge node id\n"
    "  --sparkplug-numeric    a point whose text is a number at its first\n"
    "                         birth is a Double metric from then on\n"
    "  --primary-host ID      births wait for this primary host application\n"
    "                         to say it is online (its STATE topic)\n"
    "  --stats SECONDS        counters every SECONDS (default 10)\n"
    "  --quiet                counters to the broker only, not stdout\n"
    "  --config FILE          'key = value' lines, keys as the options\n"
    "                         without dashes ('json = true'), '#' comments\n"
    "  --help                 this text\n"
    "\n"
    "Writes published to pelmora/<MAC>/commands/write/<name> (the value's\n"
    "bytes, or {\"id\":\"...\",\"value\":\"...\"}) go to the station signed\n"
    "under its key; each outcome goes to pelmora/<MAC>/commands/results.\n"
    "Point names become topic levels read as GBK: printable ASCII stays,\n"
    "GBK characters become UTF-8, every other byte and / + # % become %XX.\n"
    "SIGINT and SIGTERM end it: every station's status, then the gateway's,\n"
    "goes 'offline', and what waits is flushed.\n"
    "Run by systemd (pelmora-gateway.service), it says when it is ready,\n"
    "keeps the watchdog fed from its loop and shows its state in\n"
    "'systemctl status'.\n"
    "Exit status: 0 after a signal, 1 when it cannot listen, read a CA,\n"
    "certificate or key file, or start the MQTT client, 2 for a bad\n"
    "command line or config file.\n";

namespace {

using wire::ParseNumber;

// A secret on the first line of a file, as it stands: blanks and '#' are
// the secret's own. False when the file cannot be read or is empty.
bool FirstLine(std::string_view path, std::string* line) {
  const auto lines = wire::ReadFileLines(std::string(path));
  if (!lines || lines->empty()) return false;
  *line = lines->front().text;
  return true;
}

// One setting by its key; false with the reason when key or value is bad.
bool Apply(std::string_view key, std::string_view value,
           GatewayOptions* options, std::string* error) {
  long number = 0;
  auto number_in = [&](long low, long high) {
    if (ParseNumber(value, low, high, &number)) return true;
    *error = wire::BadValue(key, value);
    return false;
  };
  BrokerLink::Options& broker = options->broker;
  if (key == "bind") {
    options->bindAddress = value;
  } else if (key == "port") {
    if (!wire::ParsePort(value, wire::PortZero::kPicksOne, &options->port)) {
      *error = wire::BadValue(key, value);
      return false;
    }
  } else if (key == "rcvbuf") {
    if (!number_in(4096, 1 << 30)) return false;
    options->receiveBufferBytes = static_cast<int>(number);
  } else if (key == "broker") {
    broker.host = value;
  } else if (key == "broker-port") {
    std::uint16_t port = 0;
    if (!wire::ParsePort(value, wire::PortZero::kRefused, &port)) {
      *error = wire::BadValue(key, value);
      return false;
    }
    broker.port = port;
  } else if (key == "client-id") {
    broker.clientId = value;
  } else if (key == "cafile") {
    broker.caFile = value;
  } else if (key == "certfile") {
    broker.certFile = value;
  } else if (key == "keyfile") {
    broker.keyFile = value;
  } else if (key == "password-file") {
    if (!FirstLine(value, &broker.password)) {
      *error = "cannot read the password file " + std::string(value);
      return false;
    }
  } else if (key == "station") {
    TrustedStation station;
    if (!ParseTrustedStation(value, &station)) {
      *error = "bad station (MAC ADDR[/BITS]): " + std::string(value);
      return false;
    }
    options->stations.trusted.push_back(station);
  } else if (key == "http") {
    if (!ParseHttpListen(value, &options->http)) {
      *error = "bad http ([ADDR:]PORT): " + std::string(value);
      return false;
    }
  } else if (key == "metrics") {
    HttpOptions listen;
    if (!ParseHttpListen(value, &listen)) {
      *error = "bad metrics ([ADDR:]PORT): " + std::string(value);
      return false;
    }
    options->metricsAddress = listen.address;
    options->metricsPort = listen.port;
  } else if (key == "site") {
    auto site = std::make_shared<SiteFile>();
    if (!SiteFile::Load(std::string(value), site.get(), error)) return false;
    options->sitePath = value;
    options->site = std::move(site);
  } else if (key == "http-name") {
    options->http.names.emplace_back(value);
  } else if (key == "http-token-file") {
    std::string& token = options->http.token;
    if (!FirstLine(value, &token)) {
      *error = "cannot read the token file " + std::string(value);
      return false;
    }
    if (token.empty()) {
      *error = "the token file " + std::string(value) + " holds no token";
      return false;
    }
    std::string why;
    if (!TokenStrongEnough(token, &why)) {
      *error = "the token in " + std::string(value) + " " + why +
               " (make one with: openssl rand -base64 24)";
      return false;
    }
    *error = wire::OthersMayReadWarning(std::string(value), "the token file");
    if (!error->empty()) return false;
  } else if (key == "http-cert") {
    options->http.certFile = value;
  } else if (key == "http-key") {
    *error = wire::OthersMayReadWarning(std::string(value), "the page's key");
    if (!error->empty()) return false;
    options->http.keyFile = value;
  } else if (key == "keys") {
    std::string warning;
    options->commands.keys.clear();
    if (!wire::ReadKeyFile(std::string(value), &options->commands.keys,
                           &warning, error))
      return false;
    if (!warning.empty())
      std::fprintf(stderr, "pelmora-gateway: warning: %s\n", warning.c_str());
  } else if (key == "validity") {
    if (!number_in(100, 60000)) return false;
    options->commands.validity = std::chrono::milliseconds(number);
  } else if (key == "state-dir") {
    if (value.empty()) {
      *error = wire::BadValue(key, value);
      return false;
    }
    options->stateDirectory = value;
  } else if (key == "max-stations") {
    if (!number_in(1, 10000000)) return false;
    options->stations.maxStations = static_cast<std::size_t>(number);
  } else if (key == "in-flight") {
    if (!number_in(1, 65535)) return false;
    broker.inFlight = static_cast<int>(number);
  } else if (key == "user") {
    broker.user = value;
  } else if (key == "password") {
    broker.password = value;
  } else if (key == "json" || key == "quiet" || key == "sparkplug" ||
             key == "sparkplug-numeric" || key == "http-open-reads") {
    bool on = false;
    if (!wire::ParseSwitch(value, &on)) {
      *error = wire::BadValue(key, value);
      return false;
    }
    if (key == "json") {
      options->json = on;
    } else if (key == "quiet") {
      options->statsToStdout = !on;
    } else if (key == "sparkplug") {
      options->sparkplug = on;
    } else if (key == "http-open-reads") {
      options->http.openReads = on;
    } else {
      options->node.numeric = on;
    }
  } else if (key == "group" || key == "edge-node" || key == "primary-host") {
    // A Sparkplug id is one topic level, in UTF-8.
    if (value.empty() || value.find_first_of("/+#") != std::string_view::npos ||
        mosquitto_validate_utf8(value.data(), static_cast<int>(value.size())) !=
            MOSQ_ERR_SUCCESS) {
      *error = wire::BadValue(key, value);
      return false;
    }
    (key == "group"       ? options->node.group
     : key == "edge-node" ? options->node.edgeNode
                          : options->node.primaryHost) = value;
  } else if (key == "silence") {
    if (!number_in(1, 86400 * 365)) return false;
    options->stations.silence = std::chrono::seconds(number);
  } else if (key == "settle") {
    if (!number_in(1, 3600000)) return false;
    options->stations.settle = std::chrono::milliseconds(number);
  } else if (key == "queue") {
    if (!number_in(1, 100000000)) return false;
    broker.queueLimit = static_cast<std::size_t>(number);
  } else if (key == "max-packet") {
    // MQTT's own limit on a packet's length.
    if (!number_in(128, 268435455)) return false;
    options->node.maxPacket = static_cast<std::size_t>(number);
  } else if (key == "reconnect-max") {
    if (!number_in(1, 3600)) return false;
    broker.reconnectMaxSeconds = static_cast<int>(number);
  } else if (key == "stats") {
    if (!number_in(1, 86400)) return false;
    options->statsIntervalSeconds = static_cast<int>(number);
  } else {
    *error = "unknown setting " + std::string(key);
    return false;
  }
  return true;
}

}  // namespace

bool ParseGatewayOptions(int argc, char** argv, GatewayOptions* options,
                         int* exitStatus) {
  if (!wire::ParseToolOptions(
          {"pelmora-gateway",
           kGatewayUsage,
           {"json", "quiet", "sparkplug", "sparkplug-numeric",
            "http-open-reads"},
           true},
          argc, argv,
          [options](std::string_view key, std::string_view value,
                    std::string* error) {
            return Apply(key, value, options, error);
          },
          exitStatus)) {
    return false;
  }
  if (options->http.certFile.empty() != options->http.keyFile.empty()) {
    std::fprintf(stderr,
                 "pelmora-gateway: --http-cert and --http-key go together\n");
    *exitStatus = 2;
    return false;
  }
  if (options->http.port >= 0 && !IsLoopbackAddress(options->http.address) &&
      options->http.token.empty() && !options->http.openReads) {
    std::fprintf(stderr,
                 "pelmora-gateway: the page listens beyond loopback, where "
                 "reading needs a token: give one (--http-token-file) or open "
                 "the reads (--http-open-reads)\n");
    *exitStatus = 2;
    return false;
  }
  if (options->sparkplug &&
      (options->node.group.empty() || options->node.edgeNode.empty())) {
    std::fprintf(stderr,
                 "pelmora-gateway: --sparkplug needs --group and "
                 "--edge-node\n");
    *exitStatus = 2;
    return false;
  }
  // A Sparkplug node keeps its name across restarts: a broker that still
  // holds the connection of the process before (a machine that died) ends
  // it as this one connects, rather than both living on.
  if (options->broker.clientId.empty()) {
    options->broker.clientId =
        options->sparkplug ? "pelmora-gateway-" + options->node.group + "-" +
                                 options->node.edgeNode
                           : "pelmora-gateway-" + std::to_string(::getpid());
  }
  // Commands keep their sequences, a Sparkplug node its bdSeq.
  if (!options->commands.keys.empty() || options->sparkplug) {
    std::string error;
    if (options->stateDirectory.empty())
      options->stateDirectory = wire::DefaultStateDirectory(&error);
    if (options->stateDirectory.empty()) {
      std::fprintf(stderr, "pelmora-gateway: %s\n", error.c_str());
      *exitStatus = 2;
      return false;
    }
  }
  if (!options->commands.keys.empty()) {
    options->commands.sequenceFile =
        options->stateDirectory + "/" + wire::SequenceFile::kName;
  }
  return true;
}

}  // namespace pelmora::gateway

#include "gateway_options.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string_view>
#include <vector>

namespace pelmora::gateway {

const char kGatewayUsage[] =
    "usage: pelmora-gateway [--config FILE] [options]\n"
    "\n"
    "Receives the plug-in's datagrams from any number of stations and\n"
    "publishes them to an MQTT broker:\n"
    "  pelmora/<MAC>/points/<name>  each point's last value, retained\n"
    "  pelmora/<MAC>/events         each event, in order\n"
    "  pelmora/<MAC>/status         online/offline, last snapshot, retained\n"
    "  pelmora/gateway/status       online, or offline (also the will)\n"
    "  pelmora/gateway/stats        the counters, retained\n"
    "\n"
    "  --bind ADDR            IPv4 address to listen on (default 127.0.0.1)\n"
    "  --port N               UDP port (default 7000; 0 picks a free one)\n"
    "  --broker HOST          MQTT broker (default 127.0.0.1)\n"
    "  --broker-port N        its port (default 1883)\n"
    "  --client-id ID         MQTT client id (default pelmora-gateway-PID)\n"
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
    "  --max-stations N       stations kept at most (default 10000); a new\n"
    "                         one beyond is refused and counted\n"
    "  --queue N              events held for the broker (default 100000);\n"
    "                         beyond it the oldest go, counted as dropped\n"
    "  --in-flight N          messages sent to the broker and not yet\n"
    "                         acknowledged, at most (default 1000)\n"
    "  --reconnect-max SECONDS  longest wait between two connection\n"
    "                         attempts, after any failure, TLS too: 1, 2,\n"
    "                         4, ... seconds up to this (default 30)\n"
    "  --stats SECONDS        counters every SECONDS (default 10)\n"
    "  --quiet                counters to the broker only, not stdout\n"
    "  --config FILE          'key = value' lines, keys as the options\n"
    "                         without dashes ('json = true'), '#' comments\n"
    "  --help                 this text\n"
    "\n"
    "Point names become topic levels read as GBK: printable ASCII stays,\n"
    "GBK characters become UTF-8, every other byte and / + # % become %XX.\n"
    "SIGINT and SIGTERM end it: every station's status, then the gateway's,\n"
    "goes 'offline', and what waits is flushed.\n"
    "Exit status: 0 after a signal, 1 when it cannot listen, read a CA,\n"
    "certificate or key file, or start the MQTT client, 2 for a bad\n"
    "command line or config file.\n";

namespace {

bool ParseNumber(std::string_view text, long low, long high, long* out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  const std::string copy(text);
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(copy.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

// One setting by its key; false with the reason when key or value is bad.
bool Apply(std::string_view key, std::string_view value,
           GatewayOptions* options, std::string* error) {
  long number = 0;
  auto number_in = [&](long low, long high) {
    if (ParseNumber(value, low, high, &number)) return true;
    *error = "bad value for " + std::string(key) + ": " + std::string(value);
    return false;
  };
  BrokerLink::Options& broker = options->broker;
  if (key == "bind") {
    options->bindAddress = value;
  } else if (key == "port") {
    if (!number_in(0, 65535)) return false;
    options->port = static_cast<std::uint16_t>(number);
  } else if (key == "broker") {
    broker.host = value;
  } else if (key == "broker-port") {
    if (!number_in(1, 65535)) return false;
    broker.port = static_cast<int>(number);
  } else if (key == "client-id") {
    broker.clientId = value;
  } else if (key == "cafile") {
    broker.caFile = value;
  } else if (key == "certfile") {
    broker.certFile = value;
  } else if (key == "keyfile") {
    broker.keyFile = value;
  } else if (key == "password-file") {
    std::ifstream file{std::string(value)};
    if (!file || !std::getline(file, broker.password)) {
      *error = "cannot read the password file " + std::string(value);
      return false;
    }
    if (!broker.password.empty() && broker.password.back() == '\r')
      broker.password.pop_back();
  } else if (key == "station") {
    TrustedStation station;
    if (!ParseTrustedStation(value, &station)) {
      *error = "bad station (MAC ADDR[/BITS]): " + std::string(value);
      return false;
    }
    options->stations.trusted.push_back(station);
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
  } else if (key == "json" || key == "quiet") {
    const bool on = value == "true" || value == "yes" || value == "1";
    if (!on && value != "false" && value != "no" && value != "0") {
      *error = "bad value for " + std::string(key) + ": " + std::string(value);
      return false;
    }
    if (key == "json") {
      options->stations.json = on;
    } else {
      options->statsToStdout = !on;
    }
  } else if (key == "silence") {
    if (!number_in(1, 86400 * 365)) return false;
    options->stations.silence = std::chrono::seconds(number);
  } else if (key == "settle") {
    if (!number_in(1, 3600000)) return false;
    options->stations.settle = std::chrono::milliseconds(number);
  } else if (key == "queue") {
    if (!number_in(1, 100000000)) return false;
    broker.queueLimit = static_cast<std::size_t>(number);
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

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() &&
         (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

bool ReadConfigFile(const std::string& path, GatewayOptions* options,
                    std::string* error) {
  std::ifstream file(path);
  if (!file) {
    *error = "cannot read " + path;
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(file, line); ++number) {
    const std::string_view text = Trim(line);
    if (text.empty() || text[0] == '#') continue;
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
      *error = path + ":" + std::to_string(number) + ": no '='";
      return false;
    }
    if (!Apply(Trim(text.substr(0, equals)), Trim(text.substr(equals + 1)),
               options, error)) {
      *error = path + ":" + std::to_string(number) + ": " + *error;
      return false;
    }
  }
  return true;
}

}  // namespace

bool ParseGatewayOptions(int argc, char** argv, GatewayOptions* options,
                         int* exitStatus) {
  *exitStatus = 2;
  options->broker.clientId = "pelmora-gateway-" + std::to_string(::getpid());
  std::vector<std::pair<std::string, std::string>> settings;
  std::string configPath;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--help" || option == "-h") {
      std::fputs(kGatewayUsage, stdout);
      *exitStatus = 0;
      return false;
    }
    if (option.substr(0, 2) != "--") {
      std::fprintf(stderr, "pelmora-gateway: unexpected %s\n%s", argv[i],
                   kGatewayUsage);
      return false;
    }
    const std::string key(option.substr(2));
    if (key == "json" || key == "quiet") {
      settings.emplace_back(key, "true");
      continue;
    }
    if (i + 1 == argc) {
      std::fprintf(stderr, "pelmora-gateway: %s needs a value\n", argv[i]);
      return false;
    }
    if (key == "config") {
      configPath = argv[++i];
    } else {
      settings.emplace_back(key, argv[++i]);
    }
  }
  std::string error;
  if (!configPath.empty() && !ReadConfigFile(configPath, options, &error)) {
    std::fprintf(stderr, "pelmora-gateway: %s\n", error.c_str());
    return false;
  }
  for (const auto& [key, value] : settings) {
    if (!Apply(key, value, options, &error)) {
      std::fprintf(stderr, "pelmora-gateway: %s\n", error.c_str());
      return false;
    }
  }
  return true;
}

}  // namespace pelmora::gateway

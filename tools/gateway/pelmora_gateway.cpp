// pelmora-gateway: takes the datagrams of many stations on one UDP port and
// publishes their points, events and status to an MQTT broker, so that the
// data lands where dashboards and other consumers already look.
#include <cstdio>
#include <string>
#include <utility>

#include "gateway.h"
#include "gateway_options.h"
#include "tool_options.h"

int main(int argc, char** argv) {
  pelmora::gateway::GatewayOptions options;
  int exitStatus = 0;
  if (!pelmora::gateway::ParseGatewayOptions(argc, argv, &options,
                                             &exitStatus)) {
    return exitStatus;
  }
  pelmora::wire::CatchStopSignals();

  pelmora::gateway::Gateway gateway(std::move(options));
  std::string error;
  if (!gateway.Start(&error)) {
    std::fprintf(stderr, "pelmora-gateway: %s\n", error.c_str());
    return 1;
  }
  gateway.Run();
  return 0;
}

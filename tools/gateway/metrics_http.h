// The gateway's metrics on a port of their own, for a site that scrapes the
// gateway without serving its page: GET /metrics alone, in the Prometheus
// text format, read from a MetricsBoard by the server's own threads. It
// listens on loopback unless told otherwise, and holds no secret: counts
// only.
#ifndef PELMORA_TOOLS_GATEWAY_METRICS_HTTP_H_
#define PELMORA_TOOLS_GATEWAY_METRICS_HTTP_H_

#include <memory>
#include <string>

#include "gateway_metrics.h"
#include "listen_thread.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace pelmora::gateway {

class MetricsHttp {
 public:
  // `port` 0 picks a free one.
  MetricsHttp(const MetricsBoard& board, std::string address, int port);
  ~MetricsHttp();  // Stops a server still running.

  // Binds and starts serving; false with the reason when it cannot.
  bool Start(std::string* error);
  int port() const { return port_; }
  void Stop();

 private:
  void ServeMetrics(const httplib::Request& request,
                    httplib::Response& response);

  const MetricsBoard& board_;
  const std::string address_;
  const int askedPort_;
  int port_ = 0;
  std::unique_ptr<httplib::Server> server_;
  ListenThread listener_;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_METRICS_HTTP_H_

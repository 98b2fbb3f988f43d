// The operator's page and its JSON endpoints over HTTP, read from a
// SiteView by the server's own threads:
//   GET /                                     the page
//   GET /api/stations                         every station
//   GET /api/stations/MAC/points              its points (filter, offset,
//                                             limit)
//   GET /api/stations/MAC/points/ID/trend     a point's last numeric values
//   GET /api/stations/MAC/events              its last events, newest first
//   GET /api/stream[?station=MAC]             changes as Server-Sent Events
//   GET /api/writes                           whether the page may write,
//                                             and writes refused so far
//   POST /api/write                           a write to a station's point
// A write needs the token from the gateway's configuration in an
// "Authorization: Bearer TOKEN" header and a JSON body; without a token
// configured every write is refused. Its outcomes come on the stream.
// Every request must name this server in its Host header, and an Origin
// header, when sent, this same server: a page of another site that a
// rebound name points here gets nothing.
#ifndef PELMORA_TOOLS_GATEWAY_SITE_HTTP_H_
#define PELMORA_TOOLS_GATEWAY_SITE_HTTP_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "site_view.h"

namespace httplib {
class Server;
}

namespace pelmora::gateway {

struct HttpOptions {
  std::string address = "127.0.0.1";
  int port = -1;  // off; 0 picks a free port
  // Host names besides the listening address and loopback's that requests
  // may name (the names an operator's browser reaches this machine by).
  std::vector<std::string> names;
  // What lets the page write; empty: it writes nothing.
  std::string token;
};

// Whether an Authorization header carries `token`, compared in constant
// time; never when no token is configured.
bool WriteAuthorised(std::string_view authorization, const std::string& token);

// "[ADDR:]PORT" into `options`; false when it is not that.
bool ParseHttpListen(std::string_view text, HttpOptions* options);

// Whether a request with these Host and Origin headers ("" when absent)
// may be served by a server listening as `options` on `port`; when not,
// `reason` tells why.
bool RequestAllowed(std::string_view host, std::string_view origin,
                    const HttpOptions& options, int port, std::string* reason);

class SiteHttp {
 public:
  SiteHttp(SiteView& view, HttpOptions options);
  ~SiteHttp();  // Stops a server still running.

  // Binds and starts serving; false with the reason when it cannot bind.
  bool Start(std::string* error);
  int port() const { return port_; }
  void Stop();

 private:
  void Route();

  SiteView& view_;
  HttpOptions options_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> refusedWrites_{0};
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_SITE_HTTP_H_

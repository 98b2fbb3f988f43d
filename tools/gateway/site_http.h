// The operator's page and its JSON endpoints over HTTP or HTTPS, read from
// a SiteView by the server's own threads, each endpoint a named handler
// (the table in site_http.cpp):
//   GET /                                     the page
//   POST /api/login                           the token for a reading key
//   GET /api/stations                         every station
//   GET /api/stations/MAC/points              its points (filter, after,
//                                             offset, limit), streamed
//   GET /api/stations/MAC/points/ID/trend     a point's last numeric values
//   GET /api/stations/MAC/events              its last events, newest first
//   GET /api/stream[?station=MAC]             changes as Server-Sent Events
//   GET /api/writes                           whether the page may write,
//                                             and writes refused so far
//   GET /api/http                             the server's own counters
//   GET /metrics                              the gateway's figures in the
//                                             Prometheus text format
//   POST /api/write                           a write to a station's point
//   GET /api/alarms                           the site-wide alarm list
//   GET /api/alarms/journal                   its last changes
//   POST /api/alarms/ack                      an operator's acknowledgement
// A write, and an acknowledgement, needs the token from the gateway's
// configuration in an "Authorization: Bearer TOKEN" header and a JSON body;
// without a token configured, or over plain HTTP beyond loopback, every write
// is refused. Its outcomes come on the stream. Listening beyond loopback, every
// read needs the token too (as the header, or the key /api/login sets as a
// cookie) unless reads are opened explicitly. A client that keeps sending
// a wrong token waits longer each time. Every request must name this
// server in its Host header, and an Origin header, when sent, this same
// server: a page of another site that a rebound name points here gets
// nothing.
//
// Each open page holds one stream and, while it streams, one of the
// server's threads: streams are limited in all and per client address,
// and the server keeps threads beyond them for everything else, so that
// a full control room never locks the JSON out. A stream beyond a limit
// is refused at once (503, Retry-After), and counted.
#ifndef PELMORA_TOOLS_GATEWAY_SITE_HTTP_H_
#define PELMORA_TOOLS_GATEWAY_SITE_HTTP_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "listen_thread.h"
#include "page_door.h"
#include "site_view.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace pelmora::gateway {

class MetricsBoard;

struct HttpOptions {
  std::string address = "127.0.0.1";
  int port = -1;  // off; 0 picks a free port
  // Host names besides the listening address and loopback's that requests
  // may name (the names an operator's browser reaches this machine by).
  std::vector<std::string> names;
  // What lets the page write (and read, beyond loopback); empty: it
  // writes nothing.
  std::string token;
  // TLS, with this certificate chain and private key (PEM), when given.
  std::string certFile;
  std::string keyFile;
  // Reads without the token even where the page listens beyond loopback.
  bool openReads = false;
  // Streams open at once, in all and from one client address.
  std::size_t maxStreams = 256;
  std::size_t streamsPerClient = 32;
};

// Whether `address` (dotted IPv4) is one of loopback's.
bool IsLoopbackAddress(std::string_view address);

// Whether an Authorization header carries `token`, compared in constant
// time; never when no token is configured.
bool WriteAuthorised(std::string_view authorization, const std::string& token);

// "[ADDR:]PORT" into `options`; false when it is not that.
bool ParseHttpListen(std::string_view text, HttpOptions* options);

// Whether a request with these Host and Origin headers ("" when absent)
// may be served by a server listening as `options` on `port` (an Origin of
// https:// where it serves TLS); when not, `reason` tells why.
bool RequestAllowed(std::string_view host, std::string_view origin,
                    const HttpOptions& options, int port, std::string* reason);

class SiteHttp {
 public:
  // `clock` tells the time that wrong tokens' waits are counted in.
  using Clock = std::function<AuthBackoff::Clock::time_point()>;
  SiteHttp(SiteView& view, HttpOptions options,
           Clock clock = AuthBackoff::Clock::now);
  ~SiteHttp();  // Stops a server still running.

  // Loads the certificate where TLS is asked for, binds and starts
  // serving; false with the reason when it cannot.
  bool Start(std::string* error);
  int port() const { return port_; }
  // "http" or "https".
  const char* scheme() const;
  // Serves /metrics from `board` (which outlives the server); set before
  // Start. Without one, /metrics is not found.
  void set_metrics(const MetricsBoard* board) { metrics_ = board; }
  // Ends every stream and stops serving.
  void Stop();

 private:
  using Handler = void (SiteHttp::*)(const httplib::Request&,
                                     httplib::Response&);
  enum class Access { kAnyone, kReader };
  struct Endpoint {
    const char* method;
    std::string pattern;
    Access access;
    Handler handle;
  };
  class StreamSlots;

  static std::vector<Endpoint> Endpoints();
  void Route();
  // Host and Origin checks, and the headers every answer carries.
  bool Admitted(const httplib::Request& request, httplib::Response& response);
  // Whether the request may read; when not, the refusal is in `response`.
  bool MayRead(const httplib::Request& request, httplib::Response& response);
  // Whether the request carries the token in its Authorization header,
  // its client not made to wait; when not, the refusal is in `response`
  // with `refusal` (403, or 401 for a read) as its status.
  bool TokenGiven(const httplib::Request& request, httplib::Response& response,
                  int refusal);
  // Waits `wait`, or less when the server stops.
  void PauseUnlessStopping(std::chrono::milliseconds wait);

  void ServePage(const httplib::Request& request, httplib::Response& response);
  void Login(const httplib::Request& request, httplib::Response& response);
  void ListStations(const httplib::Request& request,
                    httplib::Response& response);
  void ListPoints(const httplib::Request& request, httplib::Response& response);
  void PointTrend(const httplib::Request& request, httplib::Response& response);
  void StationEvents(const httplib::Request& request,
                     httplib::Response& response);
  void WritesState(const httplib::Request& request,
                   httplib::Response& response);
  void Counters(const httplib::Request& request, httplib::Response& response);
  void Metrics(const httplib::Request& request, httplib::Response& response);
  void Write(const httplib::Request& request, httplib::Response& response);
  void ListAlarms(const httplib::Request& request, httplib::Response& response);
  void AlarmJournal(const httplib::Request& request,
                    httplib::Response& response);
  void Acknowledge(const httplib::Request& request,
                   httplib::Response& response);
  void Stream(const httplib::Request& request, httplib::Response& response);

  SiteView& view_;
  const MetricsBoard* metrics_ = nullptr;
  HttpOptions options_;
  const Clock clock_;
  // Why writes are refused whatever the request; "" when they may pass.
  std::string writesOff_;
  bool readsNeedToken_ = false;
  // The cookie value /api/login hands out: random, this run's only.
  std::string readingKey_;
  std::unique_ptr<httplib::Server> server_;
  std::unique_ptr<StreamSlots> streams_;
  AuthBackoff backoff_;
  ListenThread listener_;
  int port_ = 0;
  Mutex stopMutex_;
  std::condition_variable_any stopped_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::uint64_t> refusedWrites_{0};
  std::atomic<std::uint64_t> refusedStreams_{0};
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_SITE_HTTP_H_

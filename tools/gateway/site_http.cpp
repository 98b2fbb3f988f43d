#include "site_http.h"

#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <map>
#include <memory>

#include "command_topics.h"
#include "connection_pool.h"
#include "gateway_metrics.h"
#include "hex_text.h"
#include "endpoint.h"
#include "json_text.h"
#include "tool_options.h"

namespace pelmora::gateway {

namespace {

// The page, from site_page.html, generated at build time.
#include "site_page.inc"

// Threads for everything but streams, beyond the streams' own: what a
// control room's pages ask at once while every stream is open.
constexpr std::size_t kRequestThreads = 32;
// A connection is served one request and closed, so that an idle one
// holds no thread; one that sends nothing is let go after these.
constexpr time_t kKeepAliveSeconds = 2;
constexpr time_t kReadSeconds = 5;
// How long a stream waits for a change before it looks whether the server
// stops, and how many such waits pass before it sends a keep-alive line.
constexpr std::chrono::milliseconds kStreamWait{1000};
constexpr int kKeepAliveWaits = 15;
// After sending, a stream lets changes gather this long: a burst of
// thousands goes out in a few writes, not one each, and the main loop's
// lock is taken a few times a second per stream, not per change.
constexpr std::chrono::milliseconds kStreamGather{100};
// When a refused stream may come back.
constexpr int kStreamRetrySeconds = 5;
// Points put in one chunk of a points answer (about 150 bytes each).
constexpr std::size_t kPointsPerChunk = 512;
// The cookie that carries the reading key.
constexpr char kReadingCookie[] = "pelmora_reads";
// With its charset, the library leaves JSON uncompressed: its brotli took
// half a minute over the 15 MB of 100,000 points, gzip would be seconds,
// and the page is read over a site's own network.
constexpr char kJson[] = "application/json; charset=utf-8";
// The most points one request returns.
constexpr long kMaxPointsPerRequest = 100000;
// The longest request body read: a write's, whose value a datagram holds
// in 1,023 bytes at most, in JSON's longest spelling of it. The library
// refuses a longer one (413) before reading it.
constexpr std::size_t kLongestBody = 16 * 1024;

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

bool IsIpv4Literal(std::string_view name) {
  std::uint32_t address = 0;
  return wire::ParseIpv4(name, &address);
}

bool IsLoopbackName(std::string_view name) {
  return name == "localhost" || name == "[::1]" || IsLoopbackAddress(name);
}

void Refuse(httplib::Response& response, int status, const std::string& why) {
  response.status = status;
  response.set_content(why + "\n", "text/plain; charset=utf-8");
}

// The value of one cookie of a Cookie header; "" when absent.
std::string_view CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const std::size_t end = std::min(header.find(';'), header.size());
    std::string_view pair = header.substr(0, end);
    header.remove_prefix(std::min(end + 1, header.size()));
    while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
    if (pair.size() > name.size() && pair.substr(0, name.size()) == name &&
        pair[name.size()] == '=') {
      return pair.substr(name.size() + 1);
    }
  }
  return {};
}

bool SameSecret(std::string_view given, std::string_view secret) {
  return !secret.empty() && given.size() == secret.size() &&
         CRYPTO_memcmp(given.data(), secret.data(), secret.size()) == 0;
}

// A position in the changes as streams number them, "EPOCH-N"; false for
// anything else.
bool ParsePosition(std::string_view text, std::string_view* epoch,
                   std::uint64_t* number) {
  const std::size_t dash = text.find('-');
  long value = 0;
  if (dash == std::string_view::npos ||
      !wire::ParseNumber<long>(text.substr(dash + 1), 0,
                               std::numeric_limits<long>::max(), &value)) {
    return false;
  }
  *epoch = text.substr(0, dash);
  *number = static_cast<std::uint64_t>(value);
  return true;
}

// A point's id (the hex of its name's bytes) as its name; false for
// anything else.
bool NameOfId(std::string_view id, std::string* name) {
  name->assign(id.size() / 2, '\0');
  return id.size() % 2 == 0 &&
         wire::ParseHexBytes(id, reinterpret_cast<std::uint8_t*>(name->data()),
                             name->size());
}

}  // namespace

bool IsLoopbackAddress(std::string_view address) {
  std::uint32_t ipv4 = 0;
  return wire::ParseIpv4(address, &ipv4) && ipv4 >> 24 == 127;
}

bool ParseHttpListen(std::string_view text, HttpOptions* options) {
  std::string_view address = "127.0.0.1";
  std::string_view port = text;
  if (const std::size_t colon = text.rfind(':');
      colon != std::string_view::npos) {
    address = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  std::uint32_t ipv4 = 0;
  std::uint16_t number = 0;
  if (!wire::ParseIpv4(address, &ipv4) ||
      !wire::ParsePort(port, wire::PortZero::kPicksOne, &number))
    return false;
  options->address = address;
  options->port = number;
  return true;
}

bool RequestAllowed(std::string_view host, std::string_view origin,
                    const HttpOptions& options, int port, std::string* reason) {
  const std::string lowerHost = Lower(host);
  std::string name = lowerHost;
  const std::size_t colon = name.rfind(':');
  if (colon != std::string::npos &&
      name.find(']', colon) == std::string::npos) {
    std::uint16_t named = 0;
    if (!wire::ParsePort(std::string_view(name).substr(colon + 1),
                         wire::PortZero::kRefused, &named) ||
        named != port) {
      *reason = "Host names another port";
      return false;
    }
    name.erase(colon);
  } else if (port != 80) {
    *reason = "Host names another port";
    return false;
  }
  const bool listed = std::find(options.names.begin(), options.names.end(),
                                name) != options.names.end();
  // A name that is an address cannot be rebound; one listening on every
  // address is reached by any of them.
  const bool allowed = name == options.address || IsLoopbackName(name) ||
                       listed ||
                       (options.address == "0.0.0.0" && IsIpv4Literal(name));
  if (!allowed) {
    *reason = "Host is not a name of this gateway";
    return false;
  }
  const char* scheme = options.certFile.empty() ? "http://" : "https://";
  if (!origin.empty() && Lower(origin) != scheme + lowerHost) {
    *reason = "Origin is another site";
    return false;
  }
  return true;
}

bool WriteAuthorised(std::string_view authorization, const std::string& token) {
  constexpr std::string_view kBearer = "Bearer ";
  if (token.empty() || authorization.substr(0, kBearer.size()) != kBearer)
    return false;
  const std::string_view given = authorization.substr(kBearer.size());
  // Only the length shows in the time taken, not how much of it matches.
  return given.size() == token.size() &&
         CRYPTO_memcmp(given.data(), token.data(), token.size()) == 0;
}

// Streams open at once, in all and per client address; each open one
// holds a slot until its answer is gone.
class SiteHttp::StreamSlots {
 public:
  StreamSlots(std::size_t most, std::size_t perClient)
      : most_(most), perClient_(perClient) {}

  // A slot for a stream of `client`, released when the last copy of it
  // goes; null with why when a limit is reached.
  std::shared_ptr<void> Take(const std::string& client, std::string* why) {
    Locked<Mutex> lock(mutex_);
    std::size_t& ofClient = byClient_[client];
    if (open_ >= most_ || ofClient >= perClient_) {
      *why = open_ >= most_ ? "as many pages stream as this gateway serves (" +
                                  std::to_string(most_) + ")"
                            : "as many pages stream from this address as one "
                              "address may open (" +
                                  std::to_string(perClient_) + ")";
      if (ofClient == 0) byClient_.erase(client);
      return nullptr;
    }
    ++open_;
    ++ofClient;
    // Not a thing owned: the slot is in the counts, freed with its last copy.
    return std::shared_ptr<void>(this, [this, client](void*) {
      Locked<Mutex> lock(mutex_);
      --open_;
      if (--byClient_[client] == 0) byClient_.erase(client);
    });
  }

  std::size_t open() const {
    Locked<Mutex> lock(mutex_);
    return open_;
  }

 private:
  const std::size_t most_;
  const std::size_t perClient_;
  mutable Mutex mutex_;
  std::size_t open_ GUARDED_BY(mutex_) = 0;
  std::map<std::string, std::size_t> byClient_ GUARDED_BY(mutex_);
};

SiteHttp::SiteHttp(SiteView& view, HttpOptions options, Clock clock)
    : view_(view),
      options_(std::move(options)),
      clock_(std::move(clock)),
      streams_(std::make_unique<StreamSlots>(options_.maxStreams,
                                             options_.streamsPerClient)) {}

SiteHttp::~SiteHttp() { Stop(); }

const char* SiteHttp::scheme() const {
  return options_.certFile.empty() ? "http" : "https";
}

bool SiteHttp::Start(std::string* error) {
  for (std::string& name : options_.names) name = Lower(name);
  const bool tls = !options_.certFile.empty();
  const bool loopback = IsLoopbackAddress(options_.address);
  if (options_.token.empty()) {
    writesOff_ = "writes from the page are off";
  } else if (!tls && !loopback) {
    writesOff_ =
        "writes need TLS (--http-cert) where the page listens beyond "
        "loopback";
  }
  readsNeedToken_ = !loopback && !options_.openReads;
  if (readsNeedToken_ && options_.token.empty()) {
    *error =
        "the page listens beyond loopback, where reading needs a token: "
        "give one (--http-token-file) or open the reads (--http-open-reads)";
    return false;
  }
  unsigned char key[16];
  if (RAND_bytes(key, sizeof key) != 1) {
    *error = "no random bytes for the page's reading key";
    return false;
  }
  readingKey_ = wire::HexOf(key, sizeof key);
  if (tls) {
    auto server = std::make_unique<httplib::SSLServer>(
        options_.certFile.c_str(), options_.keyFile.c_str());
    if (!server->is_valid()) {
      *error = "cannot load the page's certificate " + options_.certFile +
               " with its key " + options_.keyFile +
               " (PEM files, the key the certificate's)";
      return false;
    }
    SSL_CTX_set_min_proto_version(server->ssl_context(), TLS1_2_VERSION);
    server_ = std::move(server);
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  const std::size_t threads = options_.maxStreams + kRequestThreads;
  server_->new_task_queue = [threads] { return new ConnectionPool(threads); };
  server_->set_keep_alive_max_count(1);
  server_->set_keep_alive_timeout(kKeepAliveSeconds);
  server_->set_read_timeout(kReadSeconds, 0);
  Route();
  if (options_.port == 0) {
    port_ = server_->bind_to_any_port(options_.address);
  } else if (server_->bind_to_port(options_.address, options_.port)) {
    port_ = options_.port;
  } else {
    port_ = -1;
  }
  if (port_ <= 0) {
    *error = "cannot listen for HTTP on " + options_.address + ":" +
             std::to_string(options_.port) +
             " (address not here, or port in use)";
    return false;
  }
  listener_.Start(server_.get());
  return true;
}

void SiteHttp::Stop() {
  if (!listener_.running()) return;
  {
    Locked<Mutex> lock(stopMutex_);
    stopping_ = true;
  }
  stopped_.notify_all();
  view_.WakeReaders();
  listener_.Stop();
}

void SiteHttp::PauseUnlessStopping(std::chrono::milliseconds wait) {
  Locked<Mutex> lock(stopMutex_);
  if (!stopping_) stopped_.wait_for(stopMutex_, wait);
}

std::vector<SiteHttp::Endpoint> SiteHttp::Endpoints() {
  const std::string station = "/api/stations/([0-9A-F]{2}(?:-[0-9A-F]{2}){5})";
  return {
      {"GET", "/", Access::kAnyone, &SiteHttp::ServePage},
      {"POST", "/api/login", Access::kAnyone, &SiteHttp::Login},
      {"GET", "/api/stations", Access::kReader, &SiteHttp::ListStations},
      {"GET", station + "/points", Access::kReader, &SiteHttp::ListPoints},
      {"GET", station + "/points/([0-9a-f]*)/trend", Access::kReader,
       &SiteHttp::PointTrend},
      {"GET", station + "/events", Access::kReader, &SiteHttp::StationEvents},
      {"GET", "/api/stream", Access::kReader, &SiteHttp::Stream},
      {"GET", "/api/writes", Access::kReader, &SiteHttp::WritesState},
      {"GET", "/api/http", Access::kReader, &SiteHttp::Counters},
      {"GET", "/metrics", Access::kReader, &SiteHttp::Metrics},
      // Its own token check: a write needs the header, never the cookie.
      {"POST", "/api/write", Access::kAnyone, &SiteHttp::Write},
      {"GET", "/api/alarms", Access::kReader, &SiteHttp::ListAlarms},
      {"GET", "/api/alarms/journal", Access::kReader, &SiteHttp::AlarmJournal},
      {"POST", "/api/alarms/ack", Access::kAnyone, &SiteHttp::Acknowledge},
  };
}

void SiteHttp::Route() {
  server_->set_payload_max_length(kLongestBody);
  server_->set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        return Admitted(request, response)
                   ? httplib::Server::HandlerResponse::Unhandled
                   : httplib::Server::HandlerResponse::Handled;
      });
  for (Endpoint& endpoint : Endpoints()) {
    auto serve = [this, access = endpoint.access, handle = endpoint.handle](
                     const httplib::Request& request,
                     httplib::Response& response) {
      if (access == Access::kReader && !MayRead(request, response)) return;
      (this->*handle)(request, response);
    };
    if (std::string_view(endpoint.method) == "GET") {
      server_->Get(endpoint.pattern, serve);
    } else {
      server_->Post(endpoint.pattern, serve);
    }
  }
}

bool SiteHttp::Admitted(const httplib::Request& request,
                        httplib::Response& response) {
  std::string reason;
  if (!RequestAllowed(request.get_header_value("Host"),
                      request.get_header_value("Origin"), options_, port_,
                      &reason)) {
    Refuse(response, 403, reason);
    return false;
  }
  response.set_header("Cache-Control", "no-store");
  response.set_header("X-Content-Type-Options", "nosniff");
  response.set_header("X-Frame-Options", "DENY");
  return true;
}

bool SiteHttp::TokenGiven(const httplib::Request& request,
                          httplib::Response& response, int refusal) {
  const std::string authorization = request.get_header_value("Authorization");
  if (authorization.empty()) {
    Refuse(response, refusal, "no token given");
    return false;
  }
  const auto now = clock_();
  std::chrono::seconds wait{0};
  if (!backoff_.MayTry(request.remote_addr, now, &wait)) {
    response.set_header("Retry-After", std::to_string(wait.count()));
    Refuse(response, 429,
           "too many wrong tokens from this address: try again in " +
               std::to_string(wait.count()) + " s");
    return false;
  }
  if (!WriteAuthorised(authorization, options_.token)) {
    if (!options_.token.empty()) backoff_.Failed(request.remote_addr, now);
    Refuse(response, refusal,
           options_.token.empty() ? "the page has no token" : "wrong token");
    return false;
  }
  backoff_.Succeeded(request.remote_addr);
  return true;
}

bool SiteHttp::MayRead(const httplib::Request& request,
                       httplib::Response& response) {
  if (!readsNeedToken_ ||
      SameSecret(
          CookieValue(request.get_header_value("Cookie"), kReadingCookie),
          readingKey_)) {
    return true;
  }
  if (request.has_header("Authorization")) {
    return TokenGiven(request, response, 401);
  }
  Refuse(response, 401,
         "reads need the token here: log in (POST /api/login with it)");
  return false;
}

void SiteHttp::ServePage(const httplib::Request&, httplib::Response& response) {
  response.set_header("Content-Security-Policy",
                      "default-src 'none'; script-src 'unsafe-inline'; "
                      "style-src 'unsafe-inline'; connect-src 'self'; "
                      "img-src data:");
  response.set_content(kSitePage, sizeof kSitePage - 1,
                       "text/html; charset=utf-8");
}

void SiteHttp::Login(const httplib::Request& request,
                     httplib::Response& response) {
  if (!TokenGiven(request, response, 401)) return;
  // The browser keeps it for this session and sends it to this server
  // alone; no script can read it.
  response.set_header("Set-Cookie",
                      std::string(kReadingCookie) + "=" + readingKey_ +
                          "; Path=/; HttpOnly; SameSite=Strict" +
                          (options_.certFile.empty() ? "" : "; Secure"));
  response.status = 204;
}

void SiteHttp::ListStations(const httplib::Request&,
                            httplib::Response& response) {
  response.set_content(view_.Stations(std::chrono::system_clock::now()), kJson);
}

void SiteHttp::ListPoints(const httplib::Request& request,
                          httplib::Response& response) {
  auto query = std::make_shared<SiteView::PointsQuery>();
  long offset = 0;
  long limit = kMaxPointsPerRequest;
  const std::string offsetText = request.get_param_value("offset");
  const std::string limitText = request.get_param_value("limit");
  if ((!offsetText.empty() &&
       !wire::ParseNumber<long>(offsetText, 0, 100000000, &offset)) ||
      (!limitText.empty() &&
       !wire::ParseNumber<long>(limitText, 1, kMaxPointsPerRequest, &limit)) ||
      !NameOfId(request.get_param_value("after"), &query->after)) {
    Refuse(response, 400, "bad after, offset or limit");
    return;
  }
  const std::string mac = request.matches[1];
  if (!view_.HasStation(mac)) {
    Refuse(response, 404, "no such station");
    return;
  }
  query->filter = request.get_param_value("filter");
  query->offset = static_cast<std::size_t>(offset);
  query->limit = static_cast<std::size_t>(limit);
  // Changes after this number reach the reader on the stream, whether or
  // not a chunk made later holds them already.
  auto head = std::make_shared<std::string>(
      wire::JsonObject()
          .Number("last_change", view_.LastChange())
          .Text("epoch", view_.epoch())
          .Close());
  head->back() = ',';
  head->append("\"points\":[");
  response.set_chunked_content_provider(
      kJson, [this, mac, query, head](std::size_t, httplib::DataSink& sink) {
        std::string chunk;
        chunk.swap(*head);
        // A station gone meanwhile ends the answer short, never as if whole.
        if (stopping_ ||
            !view_.ReadPoints(mac, query.get(), kPointsPerChunk, &chunk)) {
          return false;
        }
        if (query->done) {
          std::string tail =
              wire::JsonObject()
                  .Number("matched", query->matched)
                  .Bool("more", query->matched > query->offset + query->sent)
                  .Close();
          tail.front() = ',';
          chunk += "]" + tail;
        }
        if (!chunk.empty() && !sink.write(chunk.data(), chunk.size()))
          return false;
        if (query->done) sink.done();
        return true;
      });
}

void SiteHttp::PointTrend(const httplib::Request& request,
                          httplib::Response& response) {
  std::string json;
  if (!view_.Trend(request.matches[1], request.matches[2].str(), &json)) {
    Refuse(response, 404, "no such point");
    return;
  }
  response.set_content(json, kJson);
}

void SiteHttp::StationEvents(const httplib::Request& request,
                             httplib::Response& response) {
  std::string json;
  if (!view_.Events(request.matches[1], &json)) {
    Refuse(response, 404, "no such station");
    return;
  }
  response.set_content(json, kJson);
}

void SiteHttp::WritesState(const httplib::Request&,
                           httplib::Response& response) {
  wire::JsonObject json;
  json.Bool("enabled", writesOff_.empty()).Number("refused", refusedWrites_);
  if (writesOff_.empty()) {
    json.Null("why");
  } else {
    json.Text("why", writesOff_);
  }
  response.set_content(json.Close(), kJson);
}

void SiteHttp::Counters(const httplib::Request&, httplib::Response& response) {
  response.set_content(
      wire::JsonObject()
          .Text("epoch", view_.epoch())
          .Bool("tls", !options_.certFile.empty())
          .Bool("reads_need_token", readsNeedToken_)
          .Number("streams", streams_->open())
          .Number("streams_max", options_.maxStreams)
          .Number("streams_per_client", options_.streamsPerClient)
          .Number("streams_refused", refusedStreams_)
          .Number("writes_refused", refusedWrites_)
          .Number("token_failures", backoff_.failures())
          .Number("token_tries_too_early", backoff_.refused())
          .Close(),
      kJson);
}

void SiteHttp::Metrics(const httplib::Request&, httplib::Response& response) {
  if (metrics_ == nullptr) {
    Refuse(response, 404, "no metrics here");
    return;
  }
  response.set_content(metrics_->Text(), kMetricsContentType);
}

void SiteHttp::Write(const httplib::Request& request,
                     httplib::Response& response) {
  if (!writesOff_.empty()) {
    ++refusedWrites_;
    Refuse(response, 403, writesOff_);
    return;
  }
  if (!TokenGiven(request, response, 403)) {
    ++refusedWrites_;
    return;
  }
  // A form of another site cannot send JSON without asking first.
  if (request.get_header_value("Content-Type").rfind("application/json", 0) !=
      0) {
    Refuse(response, 415, "a write is JSON");
    return;
  }
  const auto members = StringObject(request.body);
  std::string value;
  if (!members || members->size() != 4 || !members->count("station") ||
      !members->count("point") || !members->count("value") ||
      !members->count("client") || members->at("client").empty() ||
      members->at("client").size() > 64) {
    Refuse(response, 400,
           "a write is {\"station\",\"point\",\"value\",\"client\"}");
    return;
  }
  if (!GbkOfUtf8(members->at("value"), &value)) {
    Refuse(response, 400, "the value holds a character GBK lacks");
    return;
  }
  if (value.size() > kLongestWritePayload ||
      value.find('\0') != std::string::npos) {
    Refuse(response, 400, "the value is over 1,023 bytes or holds a NUL");
    return;
  }
  int status = 0;
  std::string why;
  if (!view_.RequestWrite(members->at("station"), members->at("point"),
                          std::move(value), members->at("client"), &status,
                          &why)) {
    Refuse(response, status, why);
    return;
  }
  response.status = 202;
  response.set_content("{\"state\":\"accepted\"}", kJson);
}

void SiteHttp::ListAlarms(const httplib::Request&,
                          httplib::Response& response) {
  response.set_content(view_.Alarms(), kJson);
}

void SiteHttp::AlarmJournal(const httplib::Request&,
                            httplib::Response& response) {
  response.set_content(view_.AlarmJournal(), kJson);
}

// Acknowledging is acting on the site, as a write is: the same token, sent
// the same way, and refused where writes are.
void SiteHttp::Acknowledge(const httplib::Request& request,
                           httplib::Response& response) {
  if (!writesOff_.empty()) {
    Refuse(response, 403, writesOff_);
    return;
  }
  if (!TokenGiven(request, response, 403)) return;
  if (request.get_header_value("Content-Type").rfind("application/json", 0) !=
      0) {
    Refuse(response, 415, "an acknowledgement is JSON");
    return;
  }
  const auto members = StringObject(request.body);
  long id = 0;
  if (!members || members->size() != 1 || !members->count("id") ||
      !wire::ParseNumber<long>(members->at("id"), 1,
                               std::numeric_limits<long>::max(), &id)) {
    Refuse(response, 400, "an acknowledgement is {\"id\":\"N\"}");
    return;
  }
  if (!view_.Acknowledge(static_cast<std::uint64_t>(id), request.remote_addr,
                         std::chrono::system_clock::now())) {
    Refuse(response, 404, "no such alarm in the list");
    return;
  }
  response.set_content("{\"state\":\"acknowledged\"}", kJson);
}

void SiteHttp::Stream(const httplib::Request& request,
                      httplib::Response& response) {
  std::string why;
  std::shared_ptr<void> slot = streams_->Take(request.remote_addr, &why);
  if (!slot) {
    ++refusedStreams_;
    response.set_header("Retry-After", std::to_string(kStreamRetrySeconds));
    Refuse(response, 503, why);
    return;
  }
  // EventSource sends the id of the last event it had when it comes back;
  // a first connection starts after the change its page read the state at
  // ("after"), or from now. A position of another epoch, or none that
  // reads as one, is another gateway's: its reader reads everything again.
  struct Place {
    std::uint64_t cursor = 0;
    bool reload = false;
    bool started = false;
    int quiet = 0;
  };
  auto place = std::make_shared<Place>();
  place->cursor = view_.LastChange();
  std::string position = request.get_header_value("Last-Event-ID");
  if (position.empty()) position = request.get_param_value("after");
  std::string_view epoch;
  std::uint64_t number = 0;
  if (ParsePosition(position, &epoch, &number) && epoch == view_.epoch()) {
    place->cursor = number;
  } else if (!position.empty()) {
    place->reload = true;
  }
  const std::string mac = request.get_param_value("station");
  response.set_chunked_content_provider(
      "text/event-stream",
      [this, place, mac, slot](std::size_t, httplib::DataSink& sink) {
        // A page gone frees its slot within a wait, not at the next write.
        if (stopping_ || !sink.is_writable()) return false;
        std::string text;
        auto reload = [&](std::uint64_t at) {
          place->cursor = at;
          text += "id: " + view_.epoch() + "-" + std::to_string(at) +
                  "\nevent: reload\ndata: {}\n\n";
        };
        // The first lines go at once: come back a second after a drop,
        // and, for a reader of another epoch, read everything again.
        if (!place->started) {
          place->started = true;
          text = "retry: 1000\n\n";
          if (place->reload) reload(view_.LastChange());
          return sink.write(text.data(), text.size());
        }
        const SiteView::Changes changes =
            view_.ChangesAfter(place->cursor, mac, kStreamWait);
        if (changes.reload) {
          reload(changes.last);
        } else {
          for (const auto& change : changes.changes) {
            text.append("id: ")
                .append(view_.epoch())
                .append("-")
                .append(std::to_string(change->id))
                .append("\nevent: ")
                .append(change->kind)
                .append("\ndata: ")
                .append(change->json)
                .append("\n\n");
          }
          place->cursor = changes.last;
        }
        if (text.empty() && ++place->quiet >= kKeepAliveWaits) text = ":\n\n";
        if (text.empty()) return !stopping_.load();
        place->quiet = 0;
        if (!sink.write(text.data(), text.size())) return false;
        PauseUnlessStopping(kStreamGather);
        return !stopping_.load();
      });
}

}  // namespace pelmora::gateway

#include "site_http.h"

#include <httplib.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <limits>
#include <memory>

#include "command_topics.h"
#include "endpoint.h"
#include "json_text.h"
#include "tool_options.h"

namespace pelmora::gateway {

namespace {

// The page, from site_page.html, generated at build time.
#include "site_page.inc"

// Connections served at once; each open page holds one for its stream.
constexpr int kHttpThreads = 16;
// How long a stream waits for a change before it looks whether the server
// stops, and how many such waits pass before it sends a keep-alive line.
constexpr std::chrono::milliseconds kStreamWait{1000};
constexpr int kKeepAliveWaits = 15;
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
  std::uint32_t address = 0;
  return name == "localhost" || name == "[::1]" ||
         (wire::ParseIpv4(name, &address) && address >> 24 == 127);
}

void Refuse(httplib::Response& response, int status, const std::string& why) {
  response.status = status;
  response.set_content(why + "\n", "text/plain; charset=utf-8");
}

}  // namespace

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
  if (!origin.empty() && Lower(origin) != "http://" + lowerHost) {
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

SiteHttp::SiteHttp(SiteView& view, HttpOptions options)
    : view_(view),
      options_(std::move(options)),
      server_(std::make_unique<httplib::Server>()) {}

SiteHttp::~SiteHttp() { Stop(); }

bool SiteHttp::Start(std::string* error) {
  for (std::string& name : options_.names) name = Lower(name);
  server_->new_task_queue = [] {
    return new httplib::ThreadPool(kHttpThreads);
  };
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
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  return true;
}

void SiteHttp::Stop() {
  if (!thread_.joinable()) return;
  stopping_ = true;
  server_->stop();
  thread_.join();
}

void SiteHttp::Route() {
  server_->set_payload_max_length(kLongestBody);
  server_->set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        std::string reason;
        if (!RequestAllowed(request.get_header_value("Host"),
                            request.get_header_value("Origin"), options_, port_,
                            &reason)) {
          Refuse(response, 403, reason);
          return httplib::Server::HandlerResponse::Handled;
        }
        response.set_header("Cache-Control", "no-store");
        response.set_header("X-Content-Type-Options", "nosniff");
        response.set_header("X-Frame-Options", "DENY");
        return httplib::Server::HandlerResponse::Unhandled;
      });

  server_->Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_header("Content-Security-Policy",
                        "default-src 'none'; script-src 'unsafe-inline'; "
                        "style-src 'unsafe-inline'; connect-src 'self'; "
                        "img-src data:");
    response.set_content(kSitePage, sizeof kSitePage - 1,
                         "text/html; charset=utf-8");
  });
  server_->Get("/api/stations",
               [this](const httplib::Request&, httplib::Response& response) {
                 response.set_content(
                     view_.Stations(std::chrono::system_clock::now()), kJson);
               });

  constexpr char kMac[] = "([0-9A-F]{2}(?:-[0-9A-F]{2}){5})";
  server_->Get(
      std::string("/api/stations/") + kMac + "/points",
      [this](const httplib::Request& request, httplib::Response& response) {
        long offset = 0;
        long limit = kMaxPointsPerRequest;
        const std::string offsetText = request.get_param_value("offset");
        const std::string limitText = request.get_param_value("limit");
        if ((!offsetText.empty() &&
             !wire::ParseNumber<long>(offsetText, 0, 100000000, &offset)) ||
            (!limitText.empty() &&
             !wire::ParseNumber<long>(limitText, 1, kMaxPointsPerRequest,
                                      &limit))) {
          Refuse(response, 400, "bad offset or limit");
          return;
        }
        std::string json;
        if (!view_.Points(request.matches[1], request.get_param_value("filter"),
                          static_cast<std::size_t>(offset),
                          static_cast<std::size_t>(limit), &json)) {
          Refuse(response, 404, "no such station");
          return;
        }
        response.set_content(json, kJson);
      });
  server_->Get(
      std::string("/api/stations/") + kMac + "/points/([0-9a-f]*)/trend",
      [this](const httplib::Request& request, httplib::Response& response) {
        std::string json;
        if (!view_.Trend(request.matches[1], request.matches[2].str(), &json)) {
          Refuse(response, 404, "no such point");
          return;
        }
        response.set_content(json, kJson);
      });
  server_->Get(
      std::string("/api/stations/") + kMac + "/events",
      [this](const httplib::Request& request, httplib::Response& response) {
        std::string json;
        if (!view_.Events(request.matches[1], &json)) {
          Refuse(response, 404, "no such station");
          return;
        }
        response.set_content(json, kJson);
      });

  server_->Get("/api/writes", [this](const httplib::Request&,
                                     httplib::Response& response) {
    response.set_content(wire::JsonObject()
                             .Bool("enabled", !options_.token.empty())
                             .Number("refused", refusedWrites_)
                             .Close(),
                         kJson);
  });
  server_->Post("/api/write", [this](const httplib::Request& request,
                                     httplib::Response& response) {
    if (!WriteAuthorised(request.get_header_value("Authorization"),
                         options_.token)) {
      ++refusedWrites_;
      Refuse(response, 403,
             options_.token.empty() ? "writes from the page are off"
                                    : "wrong token");
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
  });

  server_->Get("/api/stream", [this](const httplib::Request& request,
                                     httplib::Response& response) {
    // EventSource sends the id of the last event it had when it comes
    // back; a first connection starts after the change its page read
    // the state at ("after"), or from now.
    std::uint64_t after = view_.LastChange();
    std::string last = request.get_header_value("Last-Event-ID");
    if (last.empty()) last = request.get_param_value("after");
    long number = 0;
    if (!last.empty() &&
        wire::ParseNumber<long>(last, 0, std::numeric_limits<long>::max(),
                                &number)) {
      after = static_cast<std::uint64_t>(number);
    }
    const std::string mac = request.get_param_value("station");
    auto cursor = std::make_shared<std::uint64_t>(after);
    auto quiet = std::make_shared<int>(-1);
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, cursor, quiet, mac](std::size_t, httplib::DataSink& sink) {
          if (stopping_) return false;
          std::string text;
          if (*quiet < 0) {  // the stream's first line: come back soon
            text = "retry: 1000\n\n";
            *quiet = 0;
          }
          for (const SiteView::Change& change :
               view_.ChangesAfter(*cursor, mac, kStreamWait)) {
            *cursor = change.id;
            if (change.kind.empty()) continue;
            text += "id: " + std::to_string(change.id) +
                    "\nevent: " + change.kind + "\ndata: " + change.json +
                    "\n\n";
          }
          if (text.empty() && ++*quiet >= kKeepAliveWaits) text = ":\n\n";
          if (!text.empty()) {
            *quiet = 0;
            if (!sink.write(text.data(), text.size())) return false;
          }
          return !stopping_.load();
        });
  });
}

}  // namespace pelmora::gateway

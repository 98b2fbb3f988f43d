#include "metrics_http.h"

#include <httplib.h>

#include "connection_pool.h"

namespace pelmora::gateway {

namespace {

// A scraper or two at a time: one connection a thread, let go after one
// answer, or after these when it sends nothing.
constexpr std::size_t kThreads = 2;
constexpr time_t kKeepAliveSeconds = 2;
constexpr time_t kReadSeconds = 5;

}  // namespace

MetricsHttp::MetricsHttp(const MetricsBoard& board, std::string address,
                         int port)
    : board_(board), address_(std::move(address)), askedPort_(port) {}

MetricsHttp::~MetricsHttp() { Stop(); }

bool MetricsHttp::Start(std::string* error) {
  server_ = std::make_unique<httplib::Server>();
  server_->new_task_queue = [] { return new ConnectionPool(kThreads); };
  server_->set_keep_alive_max_count(1);
  server_->set_keep_alive_timeout(kKeepAliveSeconds);
  server_->set_read_timeout(kReadSeconds, 0);
  server_->Get("/metrics", [this](const httplib::Request& request,
                                  httplib::Response& response) {
    ServeMetrics(request, response);
  });
  if (askedPort_ == 0) {
    port_ = server_->bind_to_any_port(address_);
  } else {
    port_ = server_->bind_to_port(address_, askedPort_) ? askedPort_ : -1;
  }
  if (port_ <= 0) {
    *error = "cannot listen for metrics on " + address_ + ":" +
             std::to_string(askedPort_) + " (address not here, or port in use)";
    return false;
  }
  listener_.Start(server_.get());
  return true;
}

void MetricsHttp::Stop() { listener_.Stop(); }

void MetricsHttp::ServeMetrics(const httplib::Request&,
                               httplib::Response& response) {
  response.set_header("Cache-Control", "no-store");
  response.set_content(board_.Text(), kMetricsContentType);
}

}  // namespace pelmora::gateway

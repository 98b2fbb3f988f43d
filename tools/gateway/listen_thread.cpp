#include "listen_thread.h"

#include <httplib.h>

#include <chrono>

namespace pelmora::gateway {

void ListenThread::Start(httplib::Server* server) {
  server_ = server;
  ended_ = false;
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    ended_ = true;
  });
  while (!server_->is_running() && !ended_)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void ListenThread::Stop() {
  if (!thread_.joinable()) return;
  server_->stop();
  thread_.join();
}

}  // namespace pelmora::gateway

// The HTTP server's threads: a connection is served on an idle thread, or
// on a new one while fewer than the most are running; beyond that it waits
// for one to be free. Threads made stay for later connections, so a
// gateway nobody watches runs none beyond its first.
#ifndef PELMORA_TOOLS_GATEWAY_CONNECTION_POOL_H_
#define PELMORA_TOOLS_GATEWAY_CONNECTION_POOL_H_

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <thread>
#include <vector>

#include "sync/mutex.h"

namespace pelmora::gateway {

class ConnectionPool : public httplib::TaskQueue {
 public:
  explicit ConnectionPool(std::size_t most) : most_(most) {}
  ~ConnectionPool() override { shutdown(); }

  // From the server's listening thread.
  void enqueue(std::function<void()> serve) override;
  // Serves what waits, then joins every thread; from the listening thread
  // as the server stops.
  void shutdown() override;

 private:
  void Work();

  const std::size_t most_;
  Mutex mutex_;
  std::condition_variable_any ready_;
  std::deque<std::function<void()>> waiting_ GUARDED_BY(mutex_);
  std::vector<std::thread> threads_ GUARDED_BY(mutex_);
  std::size_t idle_ GUARDED_BY(mutex_) = 0;
  bool stopping_ GUARDED_BY(mutex_) = false;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_CONNECTION_POOL_H_

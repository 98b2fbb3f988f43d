// An HTTP server's accept loop on a thread of its own. httplib's stop()
// closes the listening socket only once the loop has begun: one called
// before that does nothing, and the loop, begun later, never ends. So Start
// returns only once the loop runs (or has already ended), and a stop that
// follows at once, a SIGTERM right after the gateway said it listens, ends
// it.
#ifndef PELMORA_TOOLS_GATEWAY_LISTEN_THREAD_H_
#define PELMORA_TOOLS_GATEWAY_LISTEN_THREAD_H_

#include <atomic>
#include <thread>

namespace httplib {
class Server;
}

namespace pelmora::gateway {

class ListenThread {
 public:
  ListenThread() = default;
  ListenThread(const ListenThread&) = delete;
  ListenThread& operator=(const ListenThread&) = delete;
  ~ListenThread() { Stop(); }

  // `server` is bound already and outlives the thread.
  void Start(httplib::Server* server);
  // Stops the server's loop and waits for it; nothing once stopped.
  void Stop();
  bool running() const { return thread_.joinable(); }

 private:
  httplib::Server* server_ = nullptr;
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_LISTEN_THREAD_H_

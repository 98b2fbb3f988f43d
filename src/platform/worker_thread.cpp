#include "platform/worker_thread.h"

#include <utility>

namespace pelmora {

WorkerThread::WorkerThread(std::function<void()> body, bool suspended)
    : resumed_(!suspended) {
  thread_ = std::thread([this, body = std::move(body)] {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait(lock, [this] { return resumed_; });
    }
    body();
  });
}

WorkerThread::~WorkerThread() {
  if (thread_.joinable()) {
    Resume();
    thread_.join();
  }
}

void WorkerThread::Resume() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    resumed_ = true;
  }
  cv_.notify_all();
}

void WorkerThread::Join() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace pelmora

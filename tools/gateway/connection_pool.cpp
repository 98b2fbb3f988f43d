#include "connection_pool.h"

namespace pelmora::gateway {

void ConnectionPool::enqueue(std::function<void()> serve) {
  Locked<Mutex> lock(mutex_);
  waiting_.push_back(std::move(serve));
  if (idle_ < waiting_.size() && threads_.size() < most_) {
    threads_.emplace_back([this] { Work(); });
  } else {
    ready_.notify_one();
  }
}

void ConnectionPool::shutdown() {
  std::vector<std::thread> threads;
  {
    Locked<Mutex> lock(mutex_);
    stopping_ = true;
    threads.swap(threads_);
  }
  ready_.notify_all();
  for (std::thread& thread : threads) thread.join();
}

void ConnectionPool::Work() {
  for (;;) {
    std::function<void()> serve;
    {
      Locked<Mutex> lock(mutex_);
      ++idle_;
      while (waiting_.empty() && !stopping_) ready_.wait(mutex_);
      --idle_;
      if (waiting_.empty()) return;
      serve = std::move(waiting_.front());
      waiting_.pop_front();
    }
    serve();
  }
}

}  // namespace pelmora::gateway

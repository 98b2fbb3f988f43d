#include "platform/manual_event.h"

namespace pelmora {

void ManualEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    set_.store(true, std::memory_order_release);
  }
  cv_.notify_all();
}

bool ManualEvent::WaitFor(std::chrono::microseconds timeout) const {
  if (IsSet()) return true;
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, timeout, [this] { return IsSet(); });
}

}  // namespace pelmora

// The event the plug-in's workers wait on: the stop signal, and the end of
// the host's first round.
#ifndef PELMORA_PLATFORM_MANUAL_EVENT_H_
#define PELMORA_PLATFORM_MANUAL_EVENT_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace pelmora {

// A manual-reset event: once set it stays set until Reset. Any thread may
// set, test or wait on it.
class ManualEvent {
 public:
  void Set();
  // Only while no thread tests or waits on it (a link about to start).
  void Reset() { set_.store(false, std::memory_order_release); }
  // Tests the event without waiting.
  bool IsSet() const { return set_.load(std::memory_order_acquire); }
  // Waits up to `timeout` for the event; returns whether it is set.
  bool WaitFor(std::chrono::microseconds timeout) const;

 private:
  std::atomic<bool> set_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable cv_;
};

}  // namespace pelmora

#endif  // PELMORA_PLATFORM_MANUAL_EVENT_H_

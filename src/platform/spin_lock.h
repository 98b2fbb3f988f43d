// The plug-in's lock for the points' hot path, held with Locked
// (sync/mutex.h) as a Mutex is.
#ifndef PELMORA_PLATFORM_SPIN_LOCK_H_
#define PELMORA_PLATFORM_SPIN_LOCK_H_

#include <atomic>
#include <thread>

#include "sync/thread_annotations.h"

namespace pelmora {

// A lock for critical sections of a few dozen instructions taken by many
// threads at a high rate: a waiter spins briefly instead of sleeping in
// the kernel, then yields its time slice if the holder is slow.
class CAPABILITY("mutex") SpinLock {
 public:
  void lock() ACQUIRE() {
    for (int spins = 0; held_.exchange(true, std::memory_order_acquire);) {
      while (held_.load(std::memory_order_relaxed)) {
        if (++spins < kSpinsBeforeYield) {
          CpuRelax();
        } else {
          std::this_thread::yield();
        }
      }
    }
  }
  void unlock() RELEASE() { held_.store(false, std::memory_order_release); }
  // Tells the analysis that the lock is held where the code took it through
  // a choice made at run time; checks nothing.
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  static constexpr int kSpinsBeforeYield = 100;
  static void CpuRelax() {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
  }
  std::atomic<bool> held_{false};
};

}  // namespace pelmora

#endif  // PELMORA_PLATFORM_SPIN_LOCK_H_

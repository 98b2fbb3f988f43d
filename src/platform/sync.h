// Portable synchronisation primitives of the core: locks the thread-safety
// analysis knows, a manual-reset event, and a worker thread that can be
// created suspended.
#ifndef PELMORA_PLATFORM_SYNC_H_
#define PELMORA_PLATFORM_SYNC_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/thread_annotations.h"

namespace pelmora {

// A mutual-exclusion lock whose holders and guarded data the compiler
// checks.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

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

// Holds a Mutex or SpinLock for the scope.
template <typename Lock>
class SCOPED_CAPABILITY Locked {
 public:
  explicit Locked(Lock& lock) ACQUIRE(lock) : lock_(lock) { lock_.lock(); }
  ~Locked() RELEASE() { lock_.unlock(); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  Lock& lock_;
};

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

// A thread that runs `body` once. Created suspended, it runs no code until
// Resume() is called. Resuming a running thread has no effect.
class WorkerThread {
 public:
  // Throws std::system_error when the OS refuses a thread.
  WorkerThread(std::function<void()> body, bool suspended);
  ~WorkerThread();  // Resumes and joins a thread that was not joined yet.
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  void Resume();
  // Waits without time limit for the body to return. Call once.
  void Join();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool resumed_ = false;
  std::thread thread_;
};

}  // namespace pelmora

#endif  // PELMORA_PLATFORM_SYNC_H_

// The lock that both the plug-in and the server-side tools declare their
// guarded data with, so that clang's thread-safety analysis checks every
// holder; and the scope that holds it.
#ifndef PELMORA_SYNC_MUTEX_H_
#define PELMORA_SYNC_MUTEX_H_

#include <mutex>

#include "sync/thread_annotations.h"

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

// Holds a Mutex, or any other lock annotated as a capability, for the
// scope.
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

}  // namespace pelmora

#endif  // PELMORA_SYNC_MUTEX_H_

// The write-back path: a queue of "name|value" write commands and the
// configuration thread that hands them, one at a time and in order, to the
// host's write callback.
#ifndef PELMORA_WRITEBACK_WRITE_QUEUE_H_
#define PELMORA_WRITEBACK_WRITE_QUEUE_H_

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "config/service_log.h"
#include "pelmora/pelmora.h"
#include "platform/env.h"
#include "platform/manual_event.h"
#include "sync/mutex.h"

namespace pelmora {

// What became of a command offered from outside the host.
enum class WriteOffer { kQueued, kNoCallback, kFull };

class WriteQueue {
 public:
  WriteQueue(Env& env, const ServiceLog& log) : env_(env), log_(log) {}

  // The host's callback (SetWriteCallback); null takes it away.
  void SetCallback(WriteCallback callback) EXCLUDES(mutex_);

  // Queues the command "name|value" for the host; the only producer.
  void Push(std::string_view name, std::string_view value) EXCLUDES(mutex_);
  // Queues a raw text as it would stand in the queue.
  void PushText(std::string text) EXCLUDES(mutex_);
  // Queues "name|value" unless no callback is registered or `limit`
  // commands wait already. `delivered` runs on the configuration thread
  // once the callback has returned from this command.
  WriteOffer Offer(std::string_view name, std::string_view value,
                   std::size_t limit, std::function<void()> delivered)
      EXCLUDES(mutex_);
  // Removes the offered commands the callback has not yet had.
  void DropOffered() EXCLUDES(mutex_);
  std::size_t size() const EXCLUDES(mutex_);

  // The configuration thread: logs its start, hands each queued command to
  // the callback, pauses 300 ms whenever there is nothing to hand over,
  // and logs its exit once `stop` is set.
  void Run(const ManualEvent& stop);

 private:
  // Removes the head command and reads the callback to hand it to, both
  // under the lock: a command queued after SetCallback returned goes to
  // that callback. While no callback is registered a well-formed command
  // stays at the head, to be delivered once one is.
  struct Pending {
    std::string text;
    std::function<void()> delivered;  // may be empty
  };
  bool Take(Pending* command, WriteCallback* callback) EXCLUDES(mutex_);

  Env& env_;
  const ServiceLog& log_;
  mutable Mutex mutex_;  // the write queue's lock
  std::deque<Pending> queue_ GUARDED_BY(mutex_);
  WriteCallback callback_ GUARDED_BY(mutex_) = nullptr;
};

}  // namespace pelmora

#endif  // PELMORA_WRITEBACK_WRITE_QUEUE_H_

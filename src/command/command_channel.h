// The station's side of signed commands: it opens a session with a fresh
// nonce as each link starts, authenticates what arrives on the link, turns
// writes into offers to the write queue and snapshots into requests, and
// keeps the signed replies the link sends back. Idle (and the link receives
// nothing) while no key is configured.
#ifndef PELMORA_COMMAND_COMMAND_CHANNEL_H_
#define PELMORA_COMMAND_COMMAND_CHANNEL_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "command/command_wire.h"
#include "config/service_log.h"
#include "platform/env.h"
#include "sync/mutex.h"
#include "writeback/write_queue.h"

namespace pelmora {

// Writes from the link waiting for the host at most; beyond, refused.
inline constexpr std::size_t kMaxQueuedCommands = 64;
// Commands acted on per second at most; beyond, refused.
inline constexpr std::uint32_t kMaxCommandsPerSecond = 20;
// Audit lines per minute at most; beyond, counted in the next line.
inline constexpr std::uint32_t kMaxCommandLinesPerMinute = 30;
// The replies remembered per session, for commands the server resends.
inline constexpr std::size_t kRememberedReplies = 64;

class CommandChannel {
 public:
  CommandChannel(Env& env, const ServiceLog& log, const DatagramHeader& header,
                 WriteQueue& writes)
      : env_(env), log_(log), header_(header), writes_(writes) {}

  // Sets the key (none: off). Only while no link runs.
  void SetKey(std::optional<CommandKey> key) EXCLUDES(mutex_);
  bool enabled() const EXCLUDES(mutex_);

  // Draws a new nonce, which ends every earlier session, and queues the
  // reply that announces it. False, and commands refused by silence until
  // the next session, when the random source failed. The link's command
  // thread, as the link starts.
  bool OpenSession() EXCLUDES(mutex_);

  // Ends the session as its link stops: nothing more is answered, and the
  // writes it queued that the host has not yet had are dropped, so that a
  // server that resends them to the next session gets each delivered once.
  // The link's workers have ended.
  void CloseSession() EXCLUDES(mutex_);

  // Handles one datagram from the link: an unauthenticated one is counted
  // and gets no reply; an authenticated one gets its reply queued. Returns
  // the sequence of a snapshot to be sent now, to be reported back through
  // FinishSnapshot. The command thread.
  std::optional<std::uint32_t> Handle(const std::uint8_t* bytes,
                                      std::size_t length) EXCLUDES(mutex_);
  // The snapshot asked for by `sequence` was sent (or not, `sent` false).
  void FinishSnapshot(std::uint32_t sequence, bool sent) EXCLUDES(mutex_);

  // The replies queued since the last call, oldest first.
  std::vector<ReplyBytes> TakeReplies() EXCLUDES(mutex_);
  // Datagrams that failed authentication since the channel was made.
  std::uint64_t rejectedCount() const EXCLUDES(mutex_);

 private:
  struct Outcome {
    std::uint32_t sequence;
    ReplyState state;
    RefusalReason reason;
    CommandDigest answers;
  };

  Outcome Act(const Command& command, std::optional<std::uint32_t>* snapshot)
      REQUIRES(mutex_);
  Outcome Refuse(const Command& command, RefusalReason reason,
                 std::string_view name) REQUIRES(mutex_);
  // Called by the configuration thread once the host's callback returned.
  void Delivered(std::uint64_t session, std::uint32_t sequence)
      EXCLUDES(mutex_);
  void Remember(const Outcome& outcome) REQUIRES(mutex_);
  Outcome* Remembered(std::uint32_t sequence) REQUIRES(mutex_);
  void QueueReply(const Outcome& outcome) REQUIRES(mutex_);
  // Writes an audit line unless the minute's allowance is spent.
  void Audit(const std::string& line) REQUIRES(mutex_);
  void CountRejected() REQUIRES(mutex_);

  Env& env_;
  const ServiceLog& log_;
  const DatagramHeader& header_;
  WriteQueue& writes_;

  // Inner to nothing but the write queue's lock, which Handle takes to
  // offer a write, and the log's lock.
  mutable Mutex mutex_;
  std::optional<CommandKey> key_ GUARDED_BY(mutex_);
  bool sessionOpen_ GUARDED_BY(mutex_) = false;
  // Counts sessions, so that a delivery of an earlier one replies nothing.
  std::uint64_t session_ GUARDED_BY(mutex_) = 0;
  SessionNonce nonce_ GUARDED_BY(mutex_) = {};
  // The TickCount as the session opened: its clock's zero.
  std::uint32_t sessionStart_ GUARDED_BY(mutex_) = 0;
  std::uint32_t latestSequence_ GUARDED_BY(mutex_) = 0;
  std::deque<Outcome> remembered_ GUARDED_BY(mutex_);
  std::vector<ReplyBytes> replies_ GUARDED_BY(mutex_);
  // Commands acted on in the second that began at rateSince_.
  std::uint32_t rateSince_ GUARDED_BY(mutex_) = 0;
  std::uint32_t rateCount_ GUARDED_BY(mutex_) = 0;
  // Audit lines written in the minute that began at auditSince_, and those
  // left out.
  std::uint32_t auditSince_ GUARDED_BY(mutex_) = 0;
  std::uint32_t auditLines_ GUARDED_BY(mutex_) = 0;
  std::uint32_t auditSkipped_ GUARDED_BY(mutex_) = 0;
  std::uint64_t rejected_ GUARDED_BY(mutex_) = 0;
  std::uint32_t rejectedUnlogged_ GUARDED_BY(mutex_) = 0;
  std::optional<std::uint32_t> rejectedLoggedAt_ GUARDED_BY(mutex_);
};

}  // namespace pelmora

#endif  // PELMORA_COMMAND_COMMAND_CHANNEL_H_

#include "command/command_channel.h"

#include "config/log_messages.h"

namespace pelmora {
namespace {

constexpr std::uint32_t kSecondMs = 1000;
constexpr std::uint32_t kMinuteMs = 60000;
// How much of a name or value an audit line shows.
constexpr std::size_t kAuditTextBytes = 64;

}  // namespace

void CommandChannel::SetKey(std::optional<CommandKey> key) {
  Locked<Mutex> hold(mutex_);
  key_ = key;
  sessionOpen_ = false;
  ++session_;
  remembered_.clear();
  replies_.clear();
}

bool CommandChannel::enabled() const {
  Locked<Mutex> hold(mutex_);
  return key_.has_value();
}

bool CommandChannel::OpenSession() {
  Locked<Mutex> hold(mutex_);
  ++session_;
  remembered_.clear();
  latestSequence_ = 0;
  sessionStart_ = env_.TickCount();
  sessionOpen_ = key_ && env_.RandomBytes(nonce_.data(), nonce_.size());
  if (sessionOpen_)
    QueueReply({0, ReplyState::kSessionOpened, RefusalReason::kNone, {}});
  return sessionOpen_;
}

void CommandChannel::CloseSession() {
  {
    Locked<Mutex> hold(mutex_);
    sessionOpen_ = false;
    ++session_;
    replies_.clear();
    // The count since the last line is not left for a later minute.
    if (rejectedUnlogged_ > 0) {
      log_.Log(FormatLogLine(messages::kCommandsRejectedFormat,
                             static_cast<unsigned>(rejectedUnlogged_)));
      rejectedUnlogged_ = 0;
    }
  }
  writes_.DropOffered();
}

std::optional<std::uint32_t> CommandChannel::Handle(const std::uint8_t* bytes,
                                                    std::size_t length) {
  Locked<Mutex> hold(mutex_);
  Command command;
  if (!sessionOpen_ ||
      !OpenCommand(env_, *key_, header_, bytes, length, &command)) {
    CountRejected();
    return std::nullopt;
  }
  std::optional<std::uint32_t> snapshot;
  if (command.nonce != nonce_) {
    // Signed for an earlier session (or before the server heard of this
    // one): never acted on; the reply tells the server the current nonce.
    QueueReply(Refuse(command, RefusalReason::kWrongSession, {}));
  } else if (Outcome* earlier = Remembered(command.sequence)) {
    // A resend whose reply was lost: the same answer again, no second act.
    QueueReply(*earlier);
  } else if (command.sequence <= latestSequence_) {
    QueueReply(Refuse(command, RefusalReason::kOldSequence, {}));
  } else {
    latestSequence_ = command.sequence;
    const Outcome outcome = Act(command, &snapshot);
    Remember(outcome);
    QueueReply(outcome);
  }
  return snapshot;
}

CommandChannel::Outcome CommandChannel::Act(
    const Command& command, std::optional<std::uint32_t>* snapshot) {
  const std::uint32_t now = env_.TickCount();
  if (now - rateSince_ >= kSecondMs) {
    rateSince_ = now;
    rateCount_ = 0;
  }
  if (rateCount_ >= kMaxCommandsPerSecond)
    return Refuse(command, RefusalReason::kRateLimited, {});
  ++rateCount_;
  if (command.type == static_cast<std::uint8_t>(CommandType::kSnapshot)) {
    if (!command.body.empty())
      return Refuse(command, RefusalReason::kMalformed, {});
    Audit(FormatLogLine(messages::kCommandSnapshotFormat,
                        static_cast<unsigned>(command.sequence)));
    *snapshot = command.sequence;
    return {command.sequence, ReplyState::kQueued, RefusalReason::kNone,
            command.digest};
  }
  if (command.type != static_cast<std::uint8_t>(CommandType::kWrite))
    return Refuse(command, RefusalReason::kUnknownCommand, {});
  std::string_view name, value;
  if (!ReadWriteBody(command.body, &name, &value))
    return Refuse(command, RefusalReason::kMalformed, {});
  if (name.empty() || name.find('|') != std::string_view::npos)
    return Refuse(command, RefusalReason::kUnusableName, name);
  const std::uint64_t session = session_;
  const std::uint32_t sequence = command.sequence;
  switch (writes_.Offer(
      name, value, kMaxQueuedCommands,
      [this, session, sequence] { Delivered(session, sequence); })) {
    case WriteOffer::kNoCallback:
      return Refuse(command, RefusalReason::kNoCallback, name);
    case WriteOffer::kFull:
      return Refuse(command, RefusalReason::kQueueFull, name);
    case WriteOffer::kQueued:
      break;
  }
  Audit(FormatLogLine(messages::kCommandWriteQueuedFormat,
                      static_cast<unsigned>(sequence),
                      HostTextForLog(name, kAuditTextBytes).c_str(),
                      HostTextForLog(value, kAuditTextBytes).c_str()));
  return {sequence, ReplyState::kQueued, RefusalReason::kNone, command.digest};
}

CommandChannel::Outcome CommandChannel::Refuse(const Command& command,
                                               RefusalReason reason,
                                               std::string_view name) {
  Audit(FormatLogLine(messages::kCommandRefusedFormat,
                      static_cast<unsigned>(command.sequence),
                      static_cast<unsigned>(reason),
                      HostTextForLog(name, kAuditTextBytes).c_str()));
  return {command.sequence, ReplyState::kRefused, reason, command.digest};
}

void CommandChannel::FinishSnapshot(std::uint32_t sequence, bool sent) {
  Locked<Mutex> hold(mutex_);
  Outcome* outcome = Remembered(sequence);
  if (!outcome) return;
  outcome->state = sent ? ReplyState::kDelivered : ReplyState::kRefused;
  outcome->reason =
      sent ? RefusalReason::kNone : RefusalReason::kSnapshotFailed;
  QueueReply(*outcome);
}

void CommandChannel::Delivered(std::uint64_t session, std::uint32_t sequence) {
  Locked<Mutex> hold(mutex_);
  if (session != session_) return;
  Outcome* outcome = Remembered(sequence);
  if (!outcome) return;
  outcome->state = ReplyState::kDelivered;
  QueueReply(*outcome);
}

void CommandChannel::Remember(const Outcome& outcome) {
  if (remembered_.size() >= kRememberedReplies) remembered_.pop_front();
  remembered_.push_back(outcome);
}

CommandChannel::Outcome* CommandChannel::Remembered(std::uint32_t sequence) {
  for (Outcome& outcome : remembered_)
    if (outcome.sequence == sequence) return &outcome;
  return nullptr;
}

void CommandChannel::QueueReply(const Outcome& outcome) {
  // The replies wait for the command thread's next turn; a server that
  // floods signed commands cannot make them pile up beyond a turn's worth.
  if (!sessionOpen_ || replies_.size() >= kRememberedReplies) return;
  ReplyFields fields;
  fields.sequence = outcome.sequence;
  fields.state = outcome.state;
  fields.reason = outcome.reason;
  fields.answers = outcome.answers;
  fields.clock = env_.TickCount() - sessionStart_;
  fields.latest = latestSequence_;
  ReplyBytes reply;
  if (SealReply(env_, *key_, header_, nonce_, fields, &reply))
    replies_.push_back(reply);
}

std::vector<ReplyBytes> CommandChannel::TakeReplies() {
  Locked<Mutex> hold(mutex_);
  std::vector<ReplyBytes> taken;
  taken.swap(replies_);
  return taken;
}

void CommandChannel::Audit(const std::string& line) {
  const std::uint32_t now = env_.TickCount();
  if (now - auditSince_ >= kMinuteMs) {
    auditSince_ = now;
    auditLines_ = 0;
  }
  if (auditLines_ >= kMaxCommandLinesPerMinute) {
    ++auditSkipped_;
    return;
  }
  ++auditLines_;
  if (auditSkipped_ > 0) {
    log_.Log(FormatLogLine(messages::kCommandLinesSkippedFormat,
                           static_cast<unsigned>(auditSkipped_)));
    auditSkipped_ = 0;
  }
  log_.Log(line);
}

void CommandChannel::CountRejected() {
  ++rejected_;
  ++rejectedUnlogged_;
  const std::uint32_t now = env_.TickCount();
  if (rejectedLoggedAt_ && now - *rejectedLoggedAt_ < kMinuteMs) return;
  rejectedLoggedAt_ = now;
  log_.Log(FormatLogLine(messages::kCommandsRejectedFormat,
                         static_cast<unsigned>(rejectedUnlogged_)));
  rejectedUnlogged_ = 0;
}

std::uint64_t CommandChannel::rejectedCount() const {
  Locked<Mutex> hold(mutex_);
  return rejected_;
}

}  // namespace pelmora

#include "command/command_channel.h"

#include "config/log_messages.h"

namespace pelmora {
namespace {

constexpr std::uint32_t kSecondMs = 1000;
constexpr std::uint32_t kMinuteMs = 60000;
// How much of a name or value an audit line shows.
constexpr std::size_t kAuditTextBytes = 64;

bool HoldsNul(std::string_view text) {
  return text.find('\0') != std::string_view::npos;
}

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
    // What was only counted is not left for a later minute, which may never
    // come: the host may be about to unload the plug-in.
    LogSkippedAudit();
    if (rejectedUnlogged_ > 0) {
      log_.Log(FormatLogLine(messages::kCommandsRejectedFormat,
                             static_cast<unsigned>(rejectedUnlogged_)));
      rejectedUnlogged_ = 0;
    }
    if (receiveFailuresUnlogged_ > 0) {
      log_.Log(FormatLogLine(messages::kCommandReceiveFailedFormat,
                             static_cast<unsigned>(receiveFailuresUnlogged_)));
      receiveFailuresUnlogged_ = 0;
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
    // A resend whose reply was lost gets the same answer again, with no
    // second act; other bytes under that sequence are another command,
    // which the remembered outcome does not speak for.
    if (earlier->answers == command.digest) {
      QueueReply(*earlier);
    } else {
      QueueReply(Refuse(command, RefusalReason::kOldSequence, {}));
    }
  } else if (command.sequence <= latestSequence_) {
    QueueReply(Refuse(command, RefusalReason::kOldSequence, {}));
  } else {
    const Outcome outcome = Act(command, &snapshot);
    // A command refused for the rate alone may act when it comes again.
    if (outcome.reason != RefusalReason::kRateLimited) {
      latestSequence_ = command.sequence;
      Remember(outcome);
    }
    QueueReply(outcome);
  }
  return snapshot;
}

CommandChannel::Outcome CommandChannel::Act(
    const Command& command, std::optional<std::uint32_t>* snapshot) {
  // Serial-number arithmetic: the clock's wrap moves both alike.
  const std::int32_t validFor =
      static_cast<std::int32_t>(command.notAfter - SessionClock());
  if (validFor < 0 ||
      validFor > static_cast<std::int32_t>(kMaxCommandValidityMs))
    return Refuse(command, RefusalReason::kOutsideValidity, {});
  const std::uint32_t now = env_.TickCount();
  if (now - rateSince_ >= kSecondMs) {
    rateSince_ = now;
    rateCount_ = 0;
  }
  if (rateCount_ >= kMaxCommandsPerSecond)
    return Refuse(command, RefusalReason::kRateLimited, {});
  ++rateCount_;
  const std::uint32_t sequence = command.sequence;
  switch (static_cast<CommandType>(command.type)) {
    case CommandType::kSnapshot:
      if (!command.body.empty())
        return Refuse(command, RefusalReason::kMalformed, {});
      AuditAct(FormatLogLine(messages::kCommandSnapshotFormat,
                             static_cast<unsigned>(sequence)));
      *snapshot = sequence;
      return {sequence, ReplyState::kQueued, RefusalReason::kNone,
              command.digest};
    case CommandType::kFence:
      // Nothing to do but to become the latest sequence, which Handle does.
      if (!command.body.empty())
        return Refuse(command, RefusalReason::kMalformed, {});
      AuditAct(FormatLogLine(messages::kCommandFenceFormat,
                             static_cast<unsigned>(sequence)));
      return {sequence, ReplyState::kDelivered, RefusalReason::kNone,
              command.digest};
    case CommandType::kWrite:
      break;
    default:
      return Refuse(command, RefusalReason::kUnknownCommand, {});
  }
  std::string_view name, value;
  if (!ReadWriteBody(command.body, &name, &value))
    return Refuse(command, RefusalReason::kMalformed, {});
  // The callback gets C strings: a NUL would cut the name or value short,
  // and the host would act on another text than the one signed.
  if (name.empty() || name.find('|') != std::string_view::npos ||
      HoldsNul(name))
    return Refuse(command, RefusalReason::kUnusableName, name);
  if (HoldsNul(value)) return Refuse(command, RefusalReason::kMalformed, name);
  const std::uint64_t session = session_;
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
  AuditAct(FormatLogLine(messages::kCommandWriteQueuedFormat,
                         static_cast<unsigned>(sequence),
                         HostTextForLog(name, kAuditTextBytes).c_str(),
                         HostTextForLog(value, kAuditTextBytes).c_str()));
  return {sequence, ReplyState::kQueued, RefusalReason::kNone, command.digest};
}

CommandChannel::Outcome CommandChannel::Refuse(const Command& command,
                                               RefusalReason reason,
                                               std::string_view name) {
  AuditRefusal(FormatLogLine(messages::kCommandRefusedFormat,
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

std::uint32_t CommandChannel::SessionClock() {
  return env_.TickCount() - sessionStart_;
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
  fields.clock = SessionClock();
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

void CommandChannel::AuditAct(const std::string& line) { log_.Log(line); }

void CommandChannel::AuditRefusal(const std::string& line) {
  RollAuditMinute();
  if (auditLines_ >= kMaxCommandLinesPerMinute) {
    ++auditSkipped_;
    return;
  }
  ++auditLines_;
  log_.Log(line);
}

void CommandChannel::RollAuditMinute() {
  const std::uint32_t now = env_.TickCount();
  if (now - auditSince_ < kMinuteMs) return;
  LogSkippedAudit();
  auditSince_ = now;
  auditLines_ = 0;
}

void CommandChannel::LogSkippedAudit() {
  if (auditSkipped_ == 0) return;
  log_.Log(FormatLogLine(messages::kCommandLinesSkippedFormat,
                         static_cast<unsigned>(auditSkipped_)));
  auditSkipped_ = 0;
}

void CommandChannel::Tick() {
  Locked<Mutex> hold(mutex_);
  RollAuditMinute();
  const std::uint32_t now = env_.TickCount();
  if (rejectedUnlogged_ > 0 && rejectedLoggedAt_ &&
      now - *rejectedLoggedAt_ >= kMinuteMs) {
    rejectedLoggedAt_ = now;
    log_.Log(FormatLogLine(messages::kCommandsRejectedFormat,
                           static_cast<unsigned>(rejectedUnlogged_)));
    rejectedUnlogged_ = 0;
  }
  if (receiveFailuresUnlogged_ > 0) LogReceiveFailures();
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

void CommandChannel::CountReceiveFailures(std::size_t failures) {
  if (failures == 0) return;
  Locked<Mutex> hold(mutex_);
  receiveFailuresUnlogged_ += failures;
  LogReceiveFailures();
}

void CommandChannel::LogReceiveFailures() {
  const std::uint32_t now = env_.TickCount();
  if (receiveFailuresLoggedAt_ && now - *receiveFailuresLoggedAt_ < kMinuteMs)
    return;
  receiveFailuresLoggedAt_ = now;
  log_.Log(FormatLogLine(messages::kCommandReceiveFailedFormat,
                         static_cast<unsigned>(receiveFailuresUnlogged_)));
  receiveFailuresUnlogged_ = 0;
}

std::uint64_t CommandChannel::rejectedCount() const {
  Locked<Mutex> hold(mutex_);
  return rejected_;
}

}  // namespace pelmora

#include "service/link_service.h"

#include "config/log_messages.h"

namespace pelmora {
namespace {

constexpr std::uint32_t kDiscoveryWaitStepMs = 100;
constexpr std::uint32_t kIdleCyclePauseMs = 1000;
// The command thread waits this long at most for a datagram before it looks
// at the stop again; while datagrams wait it reads on without a pause. A
// turn reads at most kReceivesPerTurn, so that the replies of a flood's
// turn go and its audit minute turns over.
constexpr std::uint32_t kCommandPollMs = 20;
constexpr std::size_t kReceivesPerTurn = 256;
// What a keyed link asks for its receive buffer: room for a burst of
// unsigned datagrams in front of a command. The system may grant less.
constexpr int kCommandReceiveBuffer = 4 << 20;

}  // namespace

LinkService::LinkService(Env& env)
    : env_(env),
      log_(env, FindConfigDir(env)),
      settings_(env, log_),
      points_(log_),
      banks_(points_),
      link_(env, settings_, stopEvent_),
      assembler_(env, link_, header_, stopEvent_),
      writeQueue_(env, log_),
      commands_(env, log_, header_, writeQueue_) {
  env_.StartSockets();
}

LinkService::~LinkService() {
  // UninitService has stopped the link by now. A service torn down any other
  // way must still not leave workers running over its freed members.
  RequestStop();
  managementThread_.reset();
  configurationThread_.reset();
  sendThread_.reset();
  commandThread_.reset();
  link_.Close();
  env_.CleanupSockets();
}

void LinkService::Configure() {
  settings_.Load();
  header_.SetStationMac(settings_.macBytes().data());
  points_.SizeTable(settings_.hashSize());
  commands_.SetKey(settings_.commandKey());
}

int LinkService::StartLink() {
  // A started link is never replaced over its running threads.
  if (linkStarted_) return 0;
  Log(messages::kStartingLink);
  if (settings_.ServerEndpoint().port == 0) Log(messages::kPortUnusable);
  UdpLink::OpenStep failedStep;
  OsError error;
  if (!link_.Open(&failedStep, &error)) {
    log_.LogFailure(failedStep == UdpLink::OpenStep::kSocket
                        ? messages::kSocketCreateFailed
                        : messages::kConnectFailed,
                    error);
    return 0;
  }
  linkStarted_ = true;
  snapshotSent_ = false;
  managementThread_ = env_.StartThread([this] { ManagementThread(); }, false);
  configurationThread_ =
      env_.StartThread([this] { writeQueue_.Run(stopEvent_); }, true);
  sendThread_ = env_.StartThread([this] { SendThread(); }, true);
  if (!sendThread_) {
    Log(messages::kSendThreadCreateFailed);
    link_.Close();
    return 0;
  }
  sendThread_->Resume();
  if (commands_.enabled()) {
    Log(messages::kCommandsEnabled);
    link_.SetReceiveBuffer(kCommandReceiveBuffer);
    commandThread_ = env_.StartThread([this] { CommandThread(); }, false);
  }
  return 1;
}

void LinkService::StopLink() {
  Log(messages::kStoppingLink);
  RequestStop();
  if (managementThread_) managementThread_->Join();
  // A configuration thread the host never let run is let run now, so that
  // it sees the stop signal, logs its start and exit lines and ends.
  if (configurationThread_) {
    configurationThread_->Resume();
    configurationThread_->Join();
  }
  if (sendThread_) sendThread_->Join();
  if (commandThread_) commandThread_->Join();
  commands_.CloseSession();
  const std::size_t dropped = DeliverPending();
  link_.Close();
  if (dropped > 0)
    Log(FormatLogLine(messages::kStopDroppedFormat,
                      static_cast<unsigned>(dropped)));
  managementThread_.reset();
  configurationThread_.reset();
  sendThread_.reset();
  commandThread_.reset();
  linkStarted_ = false;
  stopEvent_.Reset();
}

void LinkService::RestartLink() {
  StopLink();
  StartLink();
  ResumeConfigurationThread();
}

void LinkService::ManagementThread() {
  Log(messages::kManagementStarted);
  while (!stopEvent_.IsSet()) ManagementCycle();
  Log(messages::kManagementExited);
}

void LinkService::ManagementCycle() {
  // Once the stop is signalled the pacing pauses end at once, so the cycle
  // under way hands the rest of its bank to the queue quickly, for the
  // stop to deliver.
  DrainRetired(
      banks_.Flip(), [] { return true; },
      [this] {
        // A cycle without item changes paces the thread: an idle link flips
        // about once a second, and its events leave about a second after the
        // flip.
        if (banks_.itemsWereEmpty())
          env_.WaitForEvent(stopEvent_, kIdleCyclePauseMs);
      });
}

template <typename Admit, typename Pause>
void LinkService::DrainRetired(int bank, Admit&& admit,
                               Pause&& beforeEventFlush) {
  banks_.DrainItems(bank, [&](PointEntry& entry, std::string_view record) {
    if (admit()) PassRecord(record, RecordKind::kItem, &entry);
    return true;
  });
  assembler_.AppendRecord({}, RecordKind::kItem, FlushMode::kFlush);
  const std::size_t refused =
      banks_.DrainEvents(bank, [&](std::string_view record) {
        if (admit()) PassRecord(record, RecordKind::kEvent, nullptr);
        return true;
      });
  if (refused > 0)
    Log(FormatLogLine(messages::kEventsRefusedFormat,
                      static_cast<unsigned>(refused)));
  beforeEventFlush();
  assembler_.AppendRecord({}, RecordKind::kEvent, FlushMode::kFlush);
  if (const std::size_t dropped = link_.TakeDroppedCount())
    Log(FormatLogLine(messages::kQueueFullFormat,
                      static_cast<unsigned>(dropped)));
  if (const std::size_t unsent = link_.TakeUnsentCount())
    Log(FormatLogLine(messages::kSendFailedFormat,
                      static_cast<unsigned>(unsent)));
}

void LinkService::PassRecord(std::string_view record, RecordKind kind,
                             PointEntry* entry) {
  if (!assembler_.AppendRecord(record, kind, FlushMode::kAppend) &&
      (!entry || entry->FirstTooLongReport()))
    LogRecordTooLong(log_, record.size(), record);
}

std::size_t LinkService::DeliverPending() {
  std::size_t dropped = 0;
  if (link_.IsOpen() && snapshotSent_) {
    // The workers have ended: this thread is the management and the send
    // thread now. The stop is set, so the assembler does not pause.
    const std::uint32_t start = env_.TickCount();
    auto sendQueued = [&] {
      dropped += link_.SendQueuedWithin(start, kStopDeliveryMs);
    };
    sendQueued();
    DrainRetired(
        banks_.Flip(),
        [&] {
          sendQueued();
          const bool inTime = env_.TickCount() - start < kStopDeliveryMs;
          if (!inTime) ++dropped;
          return inTime;
        },
        [] {});
    sendQueued();
  }
  return dropped + link_.QueuedRecordCount();
}

void LinkService::SendThread() {
  while (!stopEvent_.IsSet()) {
    if (env_.WaitForEvent(points_.discoveryDone(), kDiscoveryWaitStepMs)) break;
    if (stopEvent_.IsSet()) return;
  }
  // A thread that first runs after the stop skips the wait for the round.
  const bool roundComplete = points_.IsDiscoveryDone();
  if (SendSnapshot() == SnapshotResult::kStopped) return;
  snapshotSent_ = roundComplete;
  Log(messages::kSendStarted);
  link_.RunSendLoop();
  Log(messages::kSendExited);
}

void LinkService::CommandThread() {
  if (!commands_.OpenSession()) {
    Log(messages::kCommandRandomFailed);
    return;
  }
  while (!stopEvent_.IsSet()) CommandTurn();
}

void LinkService::CommandTurn() {
  std::uint8_t buffer[kBufferSize];
  const UdpLink::ReceiveTurn turn = link_.ReceiveWaiting(
      kCommandPollMs, kReceivesPerTurn, buffer, sizeof buffer,
      [this](const std::uint8_t* bytes, std::size_t length) {
        const std::optional<std::uint32_t> snapshot =
            commands_.Handle(bytes, length);
        if (!snapshot) return;
        // The server hears "queued" before the snapshot's datagrams.
        SendReplies();
        commands_.FinishSnapshot(*snapshot,
                                 SendSnapshot() == SnapshotResult::kComplete);
      });
  SendReplies();
  commands_.CountReceiveFailures(turn.failures);
  commands_.Tick();
  // Each report of a refusal fails one receive and is gone, so a flood of
  // them only wakes the thread as datagrams would; a socket that fails
  // every receive of a turn is in error, and would have the thread spin:
  // the pause leaves what arrives meanwhile in the socket's buffer.
  if (turn.failures >= kReceivesPerTurn)
    env_.WaitForEvent(stopEvent_, kCommandPollMs);
}

void LinkService::SendReplies() {
  for (const ReplyBytes& reply : commands_.TakeReplies())
    link_.SendWithTimeout(reply.data(), static_cast<int>(reply.size()));
}

SnapshotResult LinkService::SendSnapshot() {
  return pelmora::SendSnapshot(
      {env_, log_, points_, link_, header_, stopEvent_});
}

void LinkService::SetWriteCallback(WriteCallback callback) {
  writeQueue_.SetCallback(callback);
  ResumeConfigurationThread();
}

void LinkService::ResumeConfigurationThread() {
  if (configurationThread_) configurationThread_->Resume();
}

}  // namespace pelmora

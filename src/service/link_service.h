// The one service object behind the six exports. It holds the parts, each
// owning its state and its lock, and runs them: it configures them, starts
// and stops the link with its three worker threads, and runs the
// management cycle that moves changes from the banks to the link. With a
// command key, a fourth worker answers signed commands on the link.
#ifndef PELMORA_SERVICE_LINK_SERVICE_H_
#define PELMORA_SERVICE_LINK_SERVICE_H_

#include <memory>
#include <string>
#include <string_view>

#include "collect/change_banks.h"
#include "collect/point_store.h"
#include "command/command_channel.h"
#include "config/service_log.h"
#include "config/settings.h"
#include "pelmora/pelmora.h"
#include "platform/env.h"
#include "platform/manual_event.h"
#include "platform/worker_thread.h"
#include "transport/assembler.h"
#include "transport/datagram_format.h"
#include "transport/snapshot.h"
#include "transport/udp_link.h"
#include "ui/settings_dialog.h"
#include "writeback/write_queue.h"

namespace pelmora {

// The longest a stop spends delivering what is pending, once the workers
// have ended: the lesser of a second and the send limit.
inline constexpr std::uint32_t kStopDeliveryMs =
    kSendTimeoutMs < 1000 ? kSendTimeoutMs : 1000;

class LinkService : public LinkControl {
 public:
  // A service over `env`: configuration directory found, sockets started.
  // The plug-in's one service is InitService's, which UninitService
  // destroys; tests and benchmarks build their own.
  explicit LinkService(Env& env);
  // Stops any worker still running, closes the link and the sockets.
  ~LinkService() override;
  LinkService(const LinkService&) = delete;
  LinkService& operator=(const LinkService&) = delete;

  // InitService's part before the link starts: reads the settings, puts
  // the station MAC into every datagram's header, sizes the point table.
  void Configure();

  // 1 when socket, connection and the three workers are up; 0 otherwise
  // (logged). Refuses, returning 0, while a link is started.
  int StartLink();
  // Signals the workers and waits for the management, configuration and
  // send threads in that order. Then, if the link had got past its snapshot,
  // delivers what is pending: the queued datagrams, then the changes and
  // events of the active bank, sent without the pacing pauses, for at most
  // kStopDeliveryMs. Closes the link and logs, in one line, how many
  // records were dropped. A link that never sent its snapshot delivers
  // nothing: events follow a snapshot, and a restarted link drains the
  // banks itself.
  void StopLink();
  // StopLink's first step alone: signals the workers without waiting.
  void RequestStop() { stopEvent_.Set(); }
  bool IsLinkStarted() const { return linkStarted_; }

  // One turn of the management thread: flip the banks, drain the retired
  // one's changes and then its events into datagrams.
  void ManagementCycle();
  // One turn of the command thread, once its session is open: waits up to
  // kCommandPollMs for what the server sends, acts on what waits, sends
  // the replies. Pauses only when every receive of the turn failed.
  void CommandTurn();

  SnapshotResult SendSnapshot();

  // Registers the host's callback and lets the configuration thread run.
  void SetWriteCallback(WriteCallback callback);
  void ResumeConfigurationThread();

  // The dialog's view of the service.
  Settings& settings() override { return settings_; }
  void RestartLink() override;
  void ResendSnapshot() override { SendSnapshot(); }

  void Log(std::string_view text) const { log_.Log(text); }
  Env& env() { return env_; }
  PointStore& points() { return points_; }
  ChangeBanks& banks() { return banks_; }
  UdpLink& link() { return link_; }
  WriteQueue& writeQueue() { return writeQueue_; }
  CommandChannel& commands() { return commands_; }

 private:
  void ManagementThread();
  void SendThread();
  // Opens a command session, then runs CommandTurn until the stop.
  void CommandThread();
  void SendReplies();
  // Hands the retired bank to the assembler: its changes, flushed, then its
  // events, flushed after `beforeEventFlush()`. A record goes on only when
  // `admit()` says so. Logs what the bank refused and what the queue
  // dropped. Management thread, or StopLink once it has ended.
  template <typename Admit, typename Pause>
  void DrainRetired(int bank, Admit&& admit, Pause&& beforeEventFlush);
  void PassRecord(std::string_view record, RecordKind kind, PointEntry* entry);
  // StopLink's delivery; returns how many records did not go.
  std::size_t DeliverPending();

  Env& env_;
  const ServiceLog log_;
  Settings settings_;
  // Set to end the workers; clear again once they have ended.
  ManualEvent stopEvent_;
  bool linkStarted_ = false;
  // Whether this link's send thread has sent the snapshot of a complete
  // first round; written by it, read by StopLink once it has ended.
  bool snapshotSent_ = false;
  std::unique_ptr<WorkerThread> managementThread_;
  std::unique_ptr<WorkerThread> configurationThread_;
  std::unique_ptr<WorkerThread> sendThread_;
  std::unique_ptr<WorkerThread> commandThread_;  // only with a command key
  PointStore points_;
  ChangeBanks banks_;
  DatagramHeader header_;
  UdpLink link_;
  Assembler assembler_;
  WriteQueue writeQueue_;
  CommandChannel commands_;
};

}  // namespace pelmora

#endif  // PELMORA_SERVICE_LINK_SERVICE_H_

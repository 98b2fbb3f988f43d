// The one service object behind the six exports: configuration, collected
// point values, worker threads and the UDP channel.
//
// Its operations are defined in the files of the subsystem they belong to:
//   service/link_service.cpp          construction, Instance, DestroyInstance
//   config/config_store.cpp           LoadConfig, SaveConfig, accessors
//   config/station_identity.cpp       ApplyMac
//   collect/change_collection.cpp     UpdateItem, SendEventEx, PutItem
//   collect/management_thread.cpp     the management thread and its cycle
//   transport/assembler.cpp           AppendRecord
//   transport/link_control.cpp        StartLink, StopLink, CloseChannel
//   transport/send_thread.cpp         the send thread, SendWithTimeout
//   transport/snapshot.cpp            SendSnapshot
//   writeback/configuration_thread.cpp the configuration thread and its queue
#ifndef PELMORA_SERVICE_LINK_SERVICE_H_
#define PELMORA_SERVICE_LINK_SERVICE_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "collect/change_banks.h"
#include "collect/point_table.h"
#include "platform/env.h"
#include "platform/sync.h"
#include "transport/datagram_format.h"
#include "transport/udp_channel.h"

#include "pelmora/pelmora.h"

namespace pelmora {

// Guards every service's WriteCommandQueue and nothing else.
extern std::mutex WriteQueueLock;

inline constexpr std::uint32_t kDefaultServerPort = 7000;
inline constexpr int kSendTimeoutMs = 5000;

class LinkService {
 public:
  // The one object, constructed on first use (sockets started, configDir
  // found, DiscoveryDone created). Not thread-safe: InitService only.
  static LinkService* Instance();
  // Logs "service stopped", then deletes the object. UninitService only.
  static void DestroyInstance();

  virtual ~LinkService();
  LinkService(const LinkService&) = delete;
  LinkService& operator=(const LinkService&) = delete;

  // --- Log. Any thread, while the object exists.
  void Log(std::string_view text);
  const std::string& configDir() const { return configDir_; }

  // --- Configuration store.
  void LoadConfig();
  void SaveConfig();
  void SetServerAddress(std::string text);
  std::string GetServerAddress() const;
  void SetServerPort(std::uint32_t port);
  std::uint32_t GetServerPort() const;
  std::string GetMacText() const;
  std::uint32_t countSetting() const { return countSetting_; }
  std::uint32_t hashSize() const { return hashSize_; }
  const std::uint8_t* macBytes() const { return macBytes_; }
  void SetMacText(std::string text) { macText_ = std::move(text); }
  // Parses macText into macBytes and writes them into HeaderTemplate.
  void ApplyMac();

  // --- Point table and change banks. Host threads, any rate.
  void SizePointTable();
  std::size_t PointTableBuckets() const;
  void UpdateItem(std::string_view name, std::string_view value);
  void SendEventEx(std::string_view a, std::string_view b);
  bool IsDiscoveryDone() const { return DiscoveryDone->IsSet(); }
  // Copies for tests and tools; take the locks they need.
  std::vector<std::string> PointOrderNames() const;
  bool LookupPoint(std::string_view name, std::string* value) const;

  // --- Management cycle (management thread only).
  void ManagementCycle();
  void AppendRecord(std::string_view text, int kind, int flush);

  // --- Link.
  // 1 when socket, connection and threads are up; 0 otherwise (logged).
  // Refuses, returning 0, while a link is started.
  int StartLink();
  void StopLink();
  // Signals the workers to end, without waiting for them (StopLink's first
  // step).
  void RequestStop();
  void CloseChannel();
  bool IsLinkStarted() const { return stopEvent_ != nullptr; }
  // Bytes sent, or -1; reads `socket` afresh at every attempt.
  int SendWithTimeout(const std::atomic<SocketHandle>& socket,
                      const std::uint8_t* data, int length, int timeoutMs);
  // 0 complete, 1 stopped by StopEvent, -1 a send failed.
  int SendSnapshot();
  UdpChannel& channel() { return channel_; }
  // Lets the configuration thread run (SetWriteCallback, the dialog).
  void ResumeConfigurationThread();

  // --- Write-back.
  void SetWriteCallback(WriteCallback callback);
  // Queues "name|value" for the host's callback; the only producer.
  void QueueWriteCommand(std::string_view name, std::string_view value);
  // Queues a raw text as it would stand in the queue.
  void QueueWriteText(std::string text);
  std::size_t QueuedWriteCommands() const;

 private:
  LinkService();

  bool StopRequested() const { return stopEvent_ && stopEvent_->IsSet(); }
  // The destination as serverAddress and serverPort give it now.
  Ipv4Endpoint ServerEndpoint() const;
  // Requires: the lock of the entry's stripe held.
  void PutItem(PointStripe& stripe, PointEntry* entry, std::string_view value);
  // A record no datagram can carry is dropped whole, with this line.
  void LogRecordTooLong(std::size_t length, std::string_view start);
  void DrainItems(int bank);
  void DrainEvents(int bank);
  void ManagementThread();
  void SendThread();
  void ConfigurationThread();
  bool TakeWriteCommand(std::string* text, WriteCallback* callback);

  Env* const env_;

  // Guards serverAddress and serverPort, and their parsed form, which the
  // send path reads for every datagram while the dialog may replace them.
  mutable std::mutex settingsLock_;
  std::string serverAddress_;
  std::uint32_t serverPort_ = kDefaultServerPort;
  Ipv4Endpoint serverEndpoint_;
  std::string macText_;
  std::uint8_t macBytes_[6] = {};
  std::uint32_t countSetting_ = 5;
  std::uint32_t hashSize_ = kDefaultHashSize;
  std::string configDir_;

  std::unique_ptr<ManualEvent> stopEvent_;
  std::unique_ptr<WorkerThread> managementThread_;
  // The point table and both change banks (see change_banks.h).
  mutable PointStripe stripes_[kStripeCount];
  EventBanks events_;
  // Read under any stripe lock or the event lock; changed only while all of
  // them are held.
  int activeBank_ = 1;
  bool itemsWereEmpty_ = true;
  std::unique_ptr<WorkerThread> configurationThread_;
  std::atomic<WriteCallback> writeCallback_{nullptr};
  UdpChannel channel_;
  std::deque<std::string> writeCommandQueue_;
  // Guards the first round: the test of DiscoveryDone, PointOrder's growth
  // and the setting of DiscoveryDone. Taken before any stripe lock.
  std::mutex discoveryLock_;
  std::vector<PointEntry*> pointOrder_;
  DatagramBuffer assembly_;
  std::string recordScratch_;  // management thread's record text
  std::unique_ptr<ManualEvent> DiscoveryDone;
};

}  // namespace pelmora

#endif  // PELMORA_SERVICE_LINK_SERVICE_H_

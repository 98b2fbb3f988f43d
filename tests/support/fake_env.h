// An Env for tests: the real platform underneath, with time, the
// executable's location, the adapter list and the UDP socket replaced by
// fakes that record what the service asked of them.
#ifndef PELMORA_TESTS_SUPPORT_FAKE_ENV_H_
#define PELMORA_TESTS_SUPPORT_FAKE_ENV_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/env.h"

namespace pelmora::testing {

class FakeEnv : public EnvWrapper {
 public:
  FakeEnv() : EnvWrapper(Env::Default()) {}

  // --- Time: pauses, and timed waits on an event, are recorded and take
  // (almost) no real time. A pause advances the tick count by its length;
  // a wait does only when it runs its full time: one whose event is set
  // ends early, at once, as the platform's does.
  void SleepMs(std::uint32_t ms) override;
  std::uint32_t TickCount() override;
  bool WaitForEvent(const ManualEvent& event, std::uint32_t ms) override;
  // How many timed waits on `event` have begun.
  int WaitsOn(const ManualEvent& event);
  // Every pause and timed wait asked for so far, in order, in ms.
  std::vector<std::uint32_t> Sleeps();
  // The same, told apart: a plain pause, or a wait that an event ends.
  struct Pause {
    std::uint32_t ms;
    bool onEvent;
    bool operator==(const Pause& o) const {
      return ms == o.ms && onEvent == o.onEvent;
    }
  };
  std::vector<Pause> Pauses();
  void ClearSleeps();
  // While set, pauses and waits leave the tick count where it is: for tests
  // whose workers would otherwise run the clock far ahead of real time.
  std::atomic<bool> holdClock{false};

  // --- Threads: the Nth thread start (counting from 1) can be refused.
  std::unique_ptr<WorkerThread> StartThread(std::function<void()> body,
                                            bool suspended) override;
  int refuseThreadNumber = 0;

  // --- The host executable lives in `hostDir`.
  std::string ExecutablePath() override;
  // The host's Module.ini sits beside the host, on every platform.
  std::string HostProfilePath(const std::string& name) override;
  std::string hostDir;
  std::string exeName = "host.exe";

  // --- Profile files: with an OS code set, every write fails with it.
  OsError WriteProfileEntry(const std::string& file, const std::string& section,
                            const std::string& key,
                            const std::string& value) override;
  int failProfileWrites = 0;

  // --- Adapters: when set, the list the platform would give.
  bool ListAdapterAddresses(
      std::vector<std::vector<std::uint8_t>>* out) override;
  std::optional<std::vector<std::vector<std::uint8_t>>> adapters;
  int adapterQueries = 0;

  // --- The log file is the real one; each line written to it also joins
  // the timeline, as the closing of a socket does ("socket closed").
  std::unique_ptr<LogFile> OpenLogFile(const std::string& path) override;
  std::vector<std::string> Timeline();
  void Record(std::string event);

  // --- Sockets: nothing goes on the network; every datagram is kept.
  OsError OpenUdpSocket(SocketHandle* socket) override;
  OsError ConnectSocket(SocketHandle socket, Ipv4Endpoint to) override;
  SendOutcome SendTo(SocketHandle socket, const std::uint8_t* data, int length,
                     Ipv4Endpoint to) override;
  ReceiveOutcome Receive(SocketHandle socket, std::uint8_t* buffer,
                         int capacity) override;
  // Whether a delivery waits; when none does, waits a moment of real time
  // for one, and then, none come, advances the tick count by `ms`.
  bool WaitReadable(SocketHandle socket, std::uint32_t ms) override;
  OsError SetReceiveBuffer(SocketHandle socket, int bytes) override;
  void CloseSocket(SocketHandle socket) override;
  // Datagrams that the server sends the plug-in, received in order.
  void Deliver(std::vector<std::uint8_t> datagram);
  // Several at once: a receiver sees all of them waiting or none.
  void Deliver(std::vector<std::vector<std::uint8_t>> datagrams);
  // A receive failing with the OS code, in order with the deliveries.
  void DeliverFailure(int code);
  // WaitReadable calls that ran their full time, finding nothing.
  int EmptyReadableWaits();
  int receiveBufferAsked = 0;
  // Replaces the scripted send outcomes while threads may send.
  void ScriptSends(std::deque<SendOutcome> outcomes);
  int SendCalls();
  // The OS codes of refused sockets and connections; 0 lets them succeed.
  int failSocket = 0;
  int failConnect = 0;
  int socketsOpened = 0;
  // Outcomes handed out before real acceptance, one per sendto.
  std::deque<SendOutcome> scriptedSends;
  Ipv4Endpoint lastConnect;
  Ipv4Endpoint lastSendTo;
  int sendCalls = 0;

  // --- The keyed hash is the platform's, counted.
  bool HmacSha256(const std::uint8_t* key, std::size_t keyLength,
                  const std::uint8_t* data, std::size_t length,
                  std::uint8_t mac[kHmacSha256Size]) override;
  int HmacCalls();

  std::vector<std::vector<std::uint8_t>> Sent();
  // What was sent so far, forgotten once taken.
  std::vector<std::vector<std::uint8_t>> TakeSent();
  // Waits (real time, bounded) until at least `count` datagrams were sent.
  bool WaitForSent(std::size_t count);
  // Waits (real time, bounded) until what was sent satisfies `done`.
  bool WaitUntilSent(
      const std::function<bool(const std::vector<std::vector<std::uint8_t>>&)>&
          done);

 private:
  std::mutex mutex_;
  std::condition_variable sentCv_;
  std::vector<Pause> sleeps_;
  std::map<const ManualEvent*, int> waitsOn_;
  std::vector<std::string> timeline_;
  std::uint32_t ticks_ = 0;
  int threadsStarted_ = 0;
  std::vector<std::vector<std::uint8_t>> sent_;
  struct Arrival {
    std::vector<std::uint8_t> bytes;
    int error = 0;
  };
  std::deque<Arrival> inbox_;
  std::condition_variable inboxCv_;
  int emptyReadableWaits_ = 0;
  int hmacCalls_ = 0;
  SocketHandle nextSocket_ = 100;
};

}  // namespace pelmora::testing

#endif  // PELMORA_TESTS_SUPPORT_FAKE_ENV_H_

#include "support/fake_env.h"

#include <algorithm>
#include <thread>

namespace pelmora::testing {

void FakeEnv::SleepMs(std::uint32_t ms) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    sleeps_.push_back({ms, false});
    if (!holdClock) ticks_ += ms;
  }
  // Let other threads run, so that loops paced by pauses still progress.
  std::this_thread::sleep_for(std::chrono::microseconds(ms ? 200 : 0));
}

std::uint32_t FakeEnv::TickCount() {
  std::lock_guard<std::mutex> hold(mutex_);
  return ticks_;
}

bool FakeEnv::WaitForEvent(const ManualEvent& event, std::uint32_t ms) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    sleeps_.push_back({ms, true});
    ++waitsOn_[&event];
  }
  if (event.WaitFor(std::chrono::microseconds(200))) return true;
  std::lock_guard<std::mutex> hold(mutex_);
  if (!holdClock) ticks_ += ms;
  return false;
}

int FakeEnv::WaitsOn(const ManualEvent& event) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto it = waitsOn_.find(&event);
  return it == waitsOn_.end() ? 0 : it->second;
}

std::vector<std::uint32_t> FakeEnv::Sleeps() {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<std::uint32_t> ms;
  for (const Pause& pause : sleeps_) ms.push_back(pause.ms);
  return ms;
}

std::vector<FakeEnv::Pause> FakeEnv::Pauses() {
  std::lock_guard<std::mutex> hold(mutex_);
  return sleeps_;
}

void FakeEnv::ClearSleeps() {
  std::lock_guard<std::mutex> hold(mutex_);
  sleeps_.clear();
}

std::unique_ptr<WorkerThread> FakeEnv::StartThread(std::function<void()> body,
                                                   bool suspended) {
  int number;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    number = ++threadsStarted_;
  }
  if (number == refuseThreadNumber) return nullptr;
  return EnvWrapper::StartThread(std::move(body), suspended);
}

std::string FakeEnv::ExecutablePath() {
  return hostDir + PathSeparator() + exeName;
}

std::string FakeEnv::HostProfilePath(const std::string& name) {
  return hostDir + PathSeparator() + name;
}

OsError FakeEnv::WriteProfileEntry(const std::string& file,
                                   const std::string& section,
                                   const std::string& key,
                                   const std::string& value) {
  if (failProfileWrites) return {failProfileWrites};
  return EnvWrapper::WriteProfileEntry(file, section, key, value);
}

bool FakeEnv::ListAdapterAddresses(
    std::vector<std::vector<std::uint8_t>>* out) {
  ++adapterQueries;
  if (!adapters) return EnvWrapper::ListAdapterAddresses(out);
  out->insert(out->end(), adapters->begin(), adapters->end());
  return true;
}

OsError FakeEnv::OpenUdpSocket(SocketHandle* socket) {
  std::lock_guard<std::mutex> hold(mutex_);
  *socket = failSocket ? kInvalidSocket : nextSocket_++;
  if (!failSocket) ++socketsOpened;
  return {failSocket};
}

OsError FakeEnv::ConnectSocket(SocketHandle, Ipv4Endpoint to) {
  lastConnect = to;
  return {failConnect};
}

SendOutcome FakeEnv::SendTo(SocketHandle, const std::uint8_t* data, int length,
                            Ipv4Endpoint to) {
  std::lock_guard<std::mutex> hold(mutex_);
  ++sendCalls;
  lastSendTo = to;
  if (!scriptedSends.empty()) {
    SendOutcome outcome = scriptedSends.front();
    scriptedSends.pop_front();
    if (outcome.bytes <= 0) return outcome;
  }
  sent_.emplace_back(data, data + length);
  sentCv_.notify_all();
  return {length, false, {}};
}

void FakeEnv::CloseSocket(SocketHandle) { Record("socket closed"); }

void FakeEnv::Deliver(std::vector<std::uint8_t> datagram) {
  std::lock_guard<std::mutex> hold(mutex_);
  inbox_.push_back({std::move(datagram), 0});
  inboxCv_.notify_all();
}

void FakeEnv::Deliver(std::vector<std::vector<std::uint8_t>> datagrams) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (auto& datagram : datagrams) inbox_.push_back({std::move(datagram), 0});
  inboxCv_.notify_all();
}

void FakeEnv::DeliverFailure(int code) {
  std::lock_guard<std::mutex> hold(mutex_);
  inbox_.push_back({{}, code});
  inboxCv_.notify_all();
}

ReceiveOutcome FakeEnv::Receive(SocketHandle, std::uint8_t* buffer,
                                int capacity) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (inbox_.empty()) return {-1, {}};
  const Arrival arrival = std::move(inbox_.front());
  inbox_.pop_front();
  if (arrival.error) return {-1, {arrival.error}};
  const int length = static_cast<int>(arrival.bytes.size());
  std::copy_n(arrival.bytes.begin(), std::min(length, capacity), buffer);
  return {length, {}};
}

bool FakeEnv::WaitReadable(SocketHandle, std::uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (inboxCv_.wait_for(lock, std::chrono::microseconds(200),
                        [this] { return !inbox_.empty(); }))
    return true;
  ++emptyReadableWaits_;
  if (!holdClock) ticks_ += ms;
  return false;
}

int FakeEnv::EmptyReadableWaits() {
  std::lock_guard<std::mutex> hold(mutex_);
  return emptyReadableWaits_;
}

OsError FakeEnv::SetReceiveBuffer(SocketHandle, int bytes) {
  std::lock_guard<std::mutex> hold(mutex_);
  receiveBufferAsked = bytes;
  return {};
}

int FakeEnv::SendCalls() {
  std::lock_guard<std::mutex> hold(mutex_);
  return sendCalls;
}

void FakeEnv::ScriptSends(std::deque<SendOutcome> outcomes) {
  std::lock_guard<std::mutex> hold(mutex_);
  scriptedSends = std::move(outcomes);
}

bool FakeEnv::HmacSha256(const std::uint8_t* key, std::size_t keyLength,
                         const std::uint8_t* data, std::size_t length,
                         std::uint8_t mac[kHmacSha256Size]) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    ++hmacCalls_;
  }
  return EnvWrapper::HmacSha256(key, keyLength, data, length, mac);
}

int FakeEnv::HmacCalls() {
  std::lock_guard<std::mutex> hold(mutex_);
  return hmacCalls_;
}

namespace {

// Passes every call on to the real file and tells the timeline each line's
// message, without its stamp and line end.
class RecordedLogFile : public LogFile {
 public:
  RecordedLogFile(std::unique_ptr<LogFile> file, FakeEnv& env)
      : file_(std::move(file)), env_(env) {}
  bool Size(std::uint64_t* size) override { return file_->Size(size); }
  bool Truncate() override { return file_->Truncate(); }
  bool Append(const char* data, std::size_t length) override {
    // "YYYY-MM-DD hh:mm:ss: " is 21 bytes, "\r\n" two.
    if (length >= 23) env_.Record(std::string(data + 21, length - 23));
    return file_->Append(data, length);
  }

 private:
  std::unique_ptr<LogFile> file_;
  FakeEnv& env_;
};

}  // namespace

std::unique_ptr<LogFile> FakeEnv::OpenLogFile(const std::string& path) {
  std::unique_ptr<LogFile> file = EnvWrapper::OpenLogFile(path);
  if (!file) return nullptr;
  return std::make_unique<RecordedLogFile>(std::move(file), *this);
}

void FakeEnv::Record(std::string event) {
  std::lock_guard<std::mutex> hold(mutex_);
  timeline_.push_back(std::move(event));
}

std::vector<std::string> FakeEnv::Timeline() {
  std::lock_guard<std::mutex> hold(mutex_);
  return timeline_;
}

std::vector<std::vector<std::uint8_t>> FakeEnv::Sent() {
  std::lock_guard<std::mutex> hold(mutex_);
  return sent_;
}

std::vector<std::vector<std::uint8_t>> FakeEnv::TakeSent() {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<std::vector<std::uint8_t>> taken;
  taken.swap(sent_);
  return taken;
}

bool FakeEnv::WaitForSent(std::size_t count) {
  return WaitUntilSent(
      [count](const auto& sent) { return sent.size() >= count; });
}

bool FakeEnv::WaitUntilSent(
    const std::function<bool(const std::vector<std::vector<std::uint8_t>>&)>&
        done) {
  std::unique_lock<std::mutex> lock(mutex_);
  return sentCv_.wait_for(lock, std::chrono::seconds(10),
                          [&] { return done(sent_); });
}

}  // namespace pelmora::testing

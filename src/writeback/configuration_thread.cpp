// The write-back path: the configuration thread hands queued "name|value"
// commands, one at a time and in order, to the host's write callback.
#include "config/log_messages.h"
#include "service/link_service.h"

namespace pelmora {

std::mutex WriteQueueLock;

namespace {
constexpr std::uint32_t kIdlePauseMs = 300;
}  // namespace

void LinkService::SetWriteCallback(WriteCallback callback) {
  writeCallback_.store(callback);
  ResumeConfigurationThread();
}

void LinkService::QueueWriteCommand(std::string_view name,
                                    std::string_view value) {
  std::string text;
  text.reserve(name.size() + 1 + value.size());
  text.append(name).append(1, '|').append(value);
  QueueWriteText(std::move(text));
}

void LinkService::QueueWriteText(std::string text) {
  std::lock_guard<std::mutex> hold(WriteQueueLock);
  writeCommandQueue_.push_back(std::move(text));
}

std::size_t LinkService::QueuedWriteCommands() const {
  std::lock_guard<std::mutex> hold(WriteQueueLock);
  return writeCommandQueue_.size();
}

// Removes the head command and reads the callback to hand it to, both under
// the queue's lock: a command queued after SetWriteCallback returned goes
// to that callback. While no callback is registered a well-formed command
// stays at the head, to be delivered once one is.
bool LinkService::TakeWriteCommand(std::string* text, WriteCallback* callback) {
  text->clear();
  std::lock_guard<std::mutex> hold(WriteQueueLock);
  if (writeCommandQueue_.empty()) return false;
  *callback = writeCallback_.load();
  const bool deliverable =
      writeCommandQueue_.front().find('|') != std::string::npos;
  if (deliverable && *callback == nullptr) return false;
  *text = std::move(writeCommandQueue_.front());
  writeCommandQueue_.pop_front();
  return true;
}

void LinkService::ConfigurationThread() {
  Log(messages::kConfigStarted);
  std::string command;
  while (!StopRequested()) {
    WriteCallback callback = nullptr;
    if (!TakeWriteCommand(&command, &callback) || command.empty()) {
      env_->SleepMs(kIdlePauseMs);
      continue;
    }
    const std::size_t bar = command.find('|');
    if (bar == std::string::npos) continue;  // not a command: dropped
    command[bar] = '\0';
    callback(command.c_str(), command.c_str() + bar + 1);
  }
  Log(messages::kConfigExited);
}

}  // namespace pelmora

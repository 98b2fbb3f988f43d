#include "writeback/write_queue.h"

#include "config/log_messages.h"

namespace pelmora {
namespace {
constexpr std::uint32_t kIdlePauseMs = 300;
}  // namespace

void WriteQueue::SetCallback(WriteCallback callback) {
  Locked<Mutex> hold(mutex_);
  callback_ = callback;
}

void WriteQueue::Push(std::string_view name, std::string_view value) {
  std::string text;
  text.reserve(name.size() + 1 + value.size());
  text.append(name).append(1, '|').append(value);
  PushText(std::move(text));
}

void WriteQueue::PushText(std::string text) {
  Locked<Mutex> hold(mutex_);
  queue_.push_back(std::move(text));
}

std::size_t WriteQueue::size() const {
  Locked<Mutex> hold(mutex_);
  return queue_.size();
}

bool WriteQueue::Take(std::string* text, WriteCallback* callback) {
  text->clear();
  Locked<Mutex> hold(mutex_);
  if (queue_.empty()) return false;
  *callback = callback_;
  const bool deliverable = queue_.front().find('|') != std::string::npos;
  if (deliverable && *callback == nullptr) return false;
  *text = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

void WriteQueue::Run(const ManualEvent& stop) {
  log_.Log(messages::kConfigStarted);
  std::string command;
  while (!stop.IsSet()) {
    WriteCallback callback = nullptr;
    if (!Take(&command, &callback) || command.empty()) {
      env_.WaitForEvent(stop, kIdlePauseMs);
      continue;
    }
    const std::size_t bar = command.find('|');
    if (bar == std::string::npos) continue;  // not a command: dropped
    command[bar] = '\0';
    callback(command.c_str(), command.c_str() + bar + 1);
  }
  log_.Log(messages::kConfigExited);
}

}  // namespace pelmora

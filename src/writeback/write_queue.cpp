#include "writeback/write_queue.h"

#include <algorithm>

#include "config/log_messages.h"

namespace pelmora {
namespace {
constexpr std::uint32_t kIdlePauseMs = 300;
}  // namespace

void WriteQueue::SetCallback(WriteCallback callback) {
  Locked<Mutex> hold(mutex_);
  callback_ = callback;
}

namespace {
std::string CommandText(std::string_view name, std::string_view value) {
  std::string text;
  text.reserve(name.size() + 1 + value.size());
  text.append(name).append(1, '|').append(value);
  return text;
}
}  // namespace

void WriteQueue::Push(std::string_view name, std::string_view value) {
  PushText(CommandText(name, value));
}

void WriteQueue::PushText(std::string text) {
  Locked<Mutex> hold(mutex_);
  queue_.push_back({std::move(text), nullptr});
}

WriteOffer WriteQueue::Offer(std::string_view name, std::string_view value,
                             std::size_t limit,
                             std::function<void()> delivered) {
  std::string text = CommandText(name, value);
  Locked<Mutex> hold(mutex_);
  if (callback_ == nullptr) return WriteOffer::kNoCallback;
  if (queue_.size() >= limit) return WriteOffer::kFull;
  queue_.push_back({std::move(text), std::move(delivered)});
  return WriteOffer::kQueued;
}

void WriteQueue::DropOffered() {
  Locked<Mutex> hold(mutex_);
  queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                              [](const Pending& p) { return !!p.delivered; }),
               queue_.end());
}

std::size_t WriteQueue::size() const {
  Locked<Mutex> hold(mutex_);
  return queue_.size();
}

bool WriteQueue::Take(Pending* command, WriteCallback* callback) {
  command->text.clear();
  command->delivered = nullptr;
  Locked<Mutex> hold(mutex_);
  if (queue_.empty()) return false;
  *callback = callback_;
  const bool deliverable = queue_.front().text.find('|') != std::string::npos;
  if (deliverable && *callback == nullptr) return false;
  *command = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

void WriteQueue::Run(const ManualEvent& stop) {
  log_.Log(messages::kConfigStarted);
  Pending command;
  while (!stop.IsSet()) {
    WriteCallback callback = nullptr;
    if (!Take(&command, &callback) || command.text.empty()) {
      env_.WaitForEvent(stop, kIdlePauseMs);
      continue;
    }
    std::string& text = command.text;
    const std::size_t bar = text.find('|');
    if (bar == std::string::npos) continue;  // not a command: dropped
    text[bar] = '\0';
    callback(text.c_str(), text.c_str() + bar + 1);
    if (command.delivered) command.delivered();
  }
  log_.Log(messages::kConfigExited);
}

}  // namespace pelmora

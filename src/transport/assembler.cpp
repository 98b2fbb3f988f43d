#include "transport/assembler.h"

#include <string>

#include "config/log_messages.h"

namespace pelmora {
namespace {
constexpr std::uint32_t kPacingPauseMs = 50;
constexpr int kPauseEvery = 10;
// How much of the record the log line shows.
constexpr std::size_t kShownBytes = 64;
}  // namespace

bool Assembler::AppendRecord(std::string_view text, RecordKind kind,
                             FlushMode flush) {
  if (++callsSincePause_ == kPauseEvery) {
    env_.WaitForEvent(stop_, kPacingPauseMs);
    callsSincePause_ = 0;
  }
  const bool append = flush == FlushMode::kAppend;
  if (append && text.size() > kMaxRecordText) return false;
  if (append ? buffer_.Fits(text.size()) : !buffer_.HasRecords()) {
    if (append) buffer_.Append(text);
    return true;
  }
  Finish(kind);
  if (append) buffer_.Append(text);
  return true;
}

void Assembler::Finish(RecordKind kind) {
  const bool events = kind == RecordKind::kEvent;
  const std::uint8_t enabled = events ? kEnableEvents : kEnableItems;
  if (link_.IsOpen() && (link_.enableFlags() & enabled)) {
    buffer_.Finish(header_, events ? kKindEvent : kKindItem);
    link_.Enqueue(buffer_.bytes, buffer_.length);
  }
  buffer_.Reset();
}

void LogRecordTooLong(const ServiceLog& log, std::size_t length,
                      std::string_view text) {
  log.Log(FormatLogLine(messages::kRecordTooLongFormat,
                        static_cast<unsigned>(length),
                        HostTextForLog(text, kShownBytes).c_str()));
}

}  // namespace pelmora

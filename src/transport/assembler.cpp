// The datagram assembler: packs records of a retired bank into the
// AssemblyBuffer and hands each finished datagram to the outbound queue.
#include <cstdio>

#include "config/log_messages.h"
#include "service/link_service.h"

namespace pelmora {
namespace {

constexpr std::uint32_t kThrottlePauseMs = 50;
constexpr int kThrottleEvery = 10;
// Counts AppendRecord calls across the life of the library; every tenth
// call pauses the management thread.
int appendCallCount = 0;

}  // namespace

void LinkService::LogRecordTooLong(std::size_t length, std::string_view start) {
  char line[256];
  std::snprintf(line, sizeof line, messages::kRecordTooLongFormat,
                static_cast<unsigned>(length),
                std::string(start.substr(0, 64)).c_str());
  Log(line);
}

void LinkService::AppendRecord(std::string_view text, int kind, int flush) {
  if (++appendCallCount == kThrottleEvery) {
    env_->SleepMs(kThrottlePauseMs);
    appendCallCount = 0;
  }
  if (!flush && text.size() > kMaxRecordText) {
    LogRecordTooLong(text.size(), text);
    return;
  }
  if (flush ? !assembly_.HasRecords() : assembly_.Fits(text.size())) {
    if (!flush) assembly_.Append(text);
    return;
  }
  // Finish the datagram in progress, then (without flush) start the next
  // one with this record.
  assembly_.Finish();
  if (channel_.udpSocket.load() == kInvalidSocket) {
    CloseChannel();
  } else if (kind != Item) {
    if (channel_.enableFlags & kEnableEvents) {
      assembly_.bytes[8] = kKindEvent;
      channel_.EnqueueDatagram(assembly_.bytes, assembly_.length);
    }
  } else if (channel_.enableFlags & kEnableItems) {
    assembly_.bytes[8] = kKindItem;
    channel_.EnqueueDatagram(assembly_.bytes, assembly_.length);
  }
  assembly_.Reset();
  if (!flush) assembly_.Append(text);
}

}  // namespace pelmora

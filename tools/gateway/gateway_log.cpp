#include "gateway_log.h"

#include <algorithm>
#include <cstdio>

namespace pelmora::gateway {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kFirstInterval{1000};
constexpr milliseconds kLongestInterval{60000};
// Stations named in a line that sums up several.
constexpr std::size_t kNamed = 5;

std::string Seconds(std::chrono::steady_clock::duration span) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f",
                std::chrono::duration<double>(span).count());
  return text;
}

// "1 point", "2 points".
std::string Count(std::uint64_t count, const char* what) {
  return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

// "A, B, C and 4 more".
std::string Names(const std::vector<std::string>& named, std::uint64_t all) {
  std::string text;
  for (std::size_t i = 0; i < named.size(); ++i)
    text += (i == 0 ? "" : ", ") + named[i];
  if (all > named.size())
    text += " and " + std::to_string(all - named.size()) + " more";
  return text;
}

}  // namespace

GatewayLog::GatewayLog(HasKey hasKey) : hasKey_(std::move(hasKey)) {
  for (Pending& pending : pending_) pending.interval = kFirstInterval;
}

GatewayLog::Pending& GatewayLog::Note(Kind kind, const Moment& now) {
  Pending& pending = pending_[kind];
  if (pending.events++ == 0) pending.since = now.steady;
  return pending;
}

void GatewayLog::Refused(Refusal reason, const std::string& mac,
                         const wire::Endpoint& from, const Moment& now) {
  const Kind kind = reason == Refusal::kUnknownStation ? kRefusedUnknown
                    : reason == Refusal::kWrongAddress ? kRefusedAddress
                                                       : kRefusedTooMany;
  Note(kind, now).last = mac + " from " + wire::EndpointText(from);
}

void GatewayLog::Dropped(std::uint64_t more, std::uint64_t total,
                         const Moment& now) {
  if (more == 0) return;
  Pending& pending = Note(kDropped, now);
  pending.amount += more;
  pending.total = total;
}

void GatewayLog::SnapshotEnded(const std::string& mac,
                               const std::vector<std::string>& cleared,
                               bool complete, const Moment& now) {
  if (!complete) {
    Pending& pending = Note(kIncomplete, now);
    const bool asked = hasKey_ && hasKey_(mac);
    if (asked) ++pending.amount;
    if (pending.named.size() < kNamed) pending.named.push_back(mac);
    pending.last =
        asked ? ", another asked for" : " (no key to ask for another)";
    return;
  }
  if (cleared.empty()) return;
  Pending& pending = Note(kCleared, now);
  pending.amount += cleared.size();
  if (pending.named.size() < kNamed)
    pending.named.push_back(mac + " (" + std::to_string(cleared.size()) + ")");
  pending.last = mac;
}

std::string GatewayLog::Line(Kind kind, const Pending& pending,
                             const Moment& now) const {
  const std::string count = std::to_string(pending.events);
  const std::string amount = std::to_string(pending.amount);
  switch (kind) {
    case kRefusedUnknown:
    case kRefusedAddress:
    case kRefusedTooMany: {
      const char* reason = RefusalName(static_cast<Refusal>(
          kind - kRefusedUnknown + static_cast<int>(Refusal::kUnknownStation)));
      if (pending.events == 1) return "refused " + pending.last + ": " + reason;
      const auto span = now.steady - pending.since;
      return "refused " + count + " datagrams" +
             (span < milliseconds(100) ? "" : " in " + Seconds(span) + " s") +
             ": " + reason + " (the last " + pending.last + ")";
    }
    case kDropped:
      return "the system dropped " + Count(pending.amount, "datagram") +
             ": the receive buffer was full (" + std::to_string(pending.total) +
             " since the start); every station's tree may be stale until "
             "its next complete snapshot";
    case kIncomplete:
      if (pending.events == 1) {
        return "snapshot of " + pending.named.front() +
               " incomplete: datagrams were lost while it arrived; nothing "
               "cleared" +
               pending.last;
      }
      return count +
             " snapshots incomplete: datagrams were lost while they arrived; "
             "nothing cleared; " +
             (pending.amount == 0 ? std::string("no key to ask for others")
                                  : amount + " asked for again") +
             ": " + Names(pending.named, pending.events);
    case kCleared:
      if (pending.events == 1) {
        return "cleared " + Count(pending.amount, "point") + " of " +
               pending.last + ": not in its snapshot";
      }
      return "cleared " + Count(pending.amount, "point") + " that " + count +
             " snapshots no longer held: " +
             Names(pending.named, pending.events);
    case kKinds:
      break;
  }
  return {};
}

void GatewayLog::Take(const Moment& now, std::vector<std::string>* lines,
                      bool all) {
  for (int kind = 0; kind < kKinds; ++kind) {
    Pending& pending = pending_[kind];
    if (now.steady < pending.nextLine && !(all && pending.events != 0))
      continue;
    if (pending.events == 0) {
      // A whole interval without any: the next one is news again.
      pending.interval = kFirstInterval;
      continue;
    }
    lines->push_back(Line(static_cast<Kind>(kind), pending, now));
    pending.nextLine = now.steady + pending.interval;
    pending.interval = std::min(pending.interval * 2, kLongestInterval);
    pending.events = 0;
    pending.amount = 0;
    pending.named.clear();
  }
}

}  // namespace pelmora::gateway

// The two alternating change banks: host calls write into the active one
// while the management thread empties the one it has just retired. A bank
// holds each changed point once, with its latest value (kept with the
// point, see PointStore), and its events in arrival order.
#ifndef PELMORA_COLLECT_CHANGE_BANKS_H_
#define PELMORA_COLLECT_CHANGE_BANKS_H_

#include <string>
#include <string_view>
#include <vector>

#include "collect/point_store.h"
#include "platform/spin_lock.h"
#include "sync/mutex.h"

namespace pelmora {

// The most events one bank holds: far above any real burst between two
// flips, and a bound on what a host can pile up while no link drains.
inline constexpr std::size_t kMaxPendingEvents = 100000;
// The most bytes of event records one bank holds, so that long events
// bound memory as well as many short ones do.
inline constexpr std::size_t kMaxPendingEventBytes = 64u << 20;

struct BankLimits {
  std::size_t events = kMaxPendingEvents;
  std::size_t eventBytes = kMaxPendingEventBytes;
};

class ChangeBanks {
 public:
  explicit ChangeBanks(PointStore& points, BankLimits limits = {})
      : points_(points), limits_(limits) {}

  // Appends the record "a|b" to the active bank's events (SendEventEx),
  // during discovery too; refuses it, counting, when it would take the bank
  // past either limit. Any thread.
  void PutEvent(std::string_view a, std::string_view b) EXCLUDES(eventLock_);

  // Makes the other bank the active one, for point changes and events at
  // the same moment, and returns the retired bank (0 or 1), which from now
  // on belongs to the management thread alone.
  int Flip() EXCLUDES(eventLock_);

  // Hands each point change of the retired bank to emit(entry, record) as
  // its record "name|value", in the order the points first changed in the
  // period, host slot by host slot, and notes whether there was any. Stops
  // early when emit returns false; what is left is dropped. Management thread.
  template <typename Emit>
  void DrainItems(int bank, Emit&& emit);
  // Whether the last DrainItems found the bank without changes.
  bool itemsWereEmpty() const { return itemsWereEmpty_; }

  // Hands each event record of the retired bank to emit(record), in arrival
  // order; as DrainItems, stops early when emit returns false. Returns how
  // many events the bank refused while it was active. Management thread.
  template <typename Emit>
  std::size_t DrainEvents(int bank, Emit&& emit) EXCLUDES(eventLock_);

 private:
  PointStore& points_;
  const BankLimits limits_;
  SpinLock eventLock_;
  int activeBank_ GUARDED_BY(eventLock_) = 0;
  std::vector<std::string> eventList_[2] GUARDED_BY(eventLock_);
  std::size_t eventBytes_[2] GUARDED_BY(eventLock_) = {0, 0};
  std::size_t refused_[2] GUARDED_BY(eventLock_) = {0, 0};
  // The management thread's own: the record being formed, the events being
  // drained, and what the last item drain found.
  std::string record_;
  std::vector<std::string> draining_;
  bool itemsWereEmpty_ = true;
};

template <typename Emit>
void ChangeBanks::DrainItems(int bank, Emit&& emit) {
  itemsWereEmpty_ = !points_.DrainBank(
      bank, [this, &emit](PointEntry& entry, std::string_view value) {
        record_.assign(entry.name());
        record_.append(1, '|');
        record_.append(value);
        return emit(entry, std::string_view(record_));
      });
}

template <typename Emit>
std::size_t ChangeBanks::DrainEvents(int bank, Emit&& emit) {
  std::size_t refused;
  {
    Locked<SpinLock> hold(eventLock_);
    draining_.swap(eventList_[bank]);
    refused = refused_[bank];
    refused_[bank] = 0;
    eventBytes_[bank] = 0;
  }
  for (const std::string& record : draining_) {
    if (!emit(std::string_view(record))) break;
  }
  draining_.clear();
  return refused;
}

}  // namespace pelmora

#endif  // PELMORA_COLLECT_CHANGE_BANKS_H_

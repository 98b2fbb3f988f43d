// The last value of every point the host pushes, the host's first round
// (discovery and PointOrder), and each point's pending change in the two
// change banks.
//
// The points are split by name into stripes, each under a lock of its own,
// so that host threads pushing different points rarely meet on a lock or a
// cache line. A stripe's lock guards its table and its share of both banks'
// item maps. The flip of the banks and the snapshot hold every stripe at
// once (WholeTable). Lock order: the discovery lock, then the stripes in
// ascending order, then the change banks' event lock or the entry arena's
// lock (each taken alone), then LogLock.
#ifndef PELMORA_COLLECT_POINT_STORE_H_
#define PELMORA_COLLECT_POINT_STORE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "collect/point_table.h"
#include "config/service_log.h"
#include "platform/sync.h"

namespace pelmora {

inline constexpr std::size_t kStripeCount = 16;

struct alignas(64) PointStripe {
  SpinLock lock;
  PointTable table GUARDED_BY(lock);
  // This stripe's share of each bank's item map: the entries that hold a
  // pending value for bank 0 / bank 1 (PointEntry::inBank).
  std::vector<PointEntry*> changed[2] GUARDED_BY(lock);
};

class PointStore {
 public:
  explicit PointStore(const ServiceLog& log) : log_(log) {}

  // Shares out `hashSize` buckets among the stripes, before any point
  // arrives: 0 falls back to 2001, sizes above kMaxHashSize are clamped.
  void SizeTable(std::uint32_t hashSize);
  std::size_t BucketCount() const;

  // One value pushed by the host (UpdateItem). While the first round runs,
  // a new name joins PointOrder and the first known name ends the round:
  // logged, DiscoveryDone set, the pair in no bank. After it, the pair
  // also becomes the point's pending change in the active bank. Any thread.
  void Update(std::string_view name, std::string_view value);

  bool IsDiscoveryDone() const { return discoveryDone_.IsSet(); }
  // Set once, when the first round is complete; never reset.
  ManualEvent& discoveryDone() { return discoveryDone_; }

  // Copies, for tests and tools.
  std::vector<std::string> PointOrderNames() const;
  bool Lookup(std::string_view name, std::string* value) const;

  // Holds every stripe lock: the table at one moment.
  class WholeTable {
   public:
    explicit WholeTable(const PointStore& store);
    ~WholeTable();
    WholeTable(const WholeTable&) = delete;
    WholeTable& operator=(const WholeTable&) = delete;

   private:
    PointStripe* stripes_;
  };

  // Makes `bank` (0 or 1) the one Update writes changes into.
  void SetActiveBank(const WholeTable& held, int bank);

  // Hands each change pending in the retired `bank` to emit(entry, value)
  // and empties the bank; stops early when emit returns false, dropping
  // what is left. Returns whether the bank held anything. Management thread
  // only, after the flip that retired `bank`: no host call reaches it.
  template <typename Emit>
  bool DrainBank(int bank, Emit&& emit);

  // Walks PointOrder from index `from` with the table held whole, handing
  // each entry to take(entry) until take returns false (that entry is not
  // taken) or the order ends. Returns the index of the first entry not
  // taken: PointOrder's size once all were.
  template <typename Take>
  std::size_t WalkFirstRound(std::size_t from, Take&& take) const;

 private:
  // A new entry for `name`, linked into its stripe's table.
  PointEntry* Insert(PointStripe& stripe, std::string_view name,
                     std::size_t hash) REQUIRES(stripe.lock);
  // Requires: the entry's stripe lock held.
  void PutItem(PointStripe& stripe, PointEntry* entry, std::string_view value)
      REQUIRES(stripe.lock);
  void LogLastPoint(std::string_view name, std::string_view value);

  const ServiceLog& log_;
  // Outlives the stripes, whose tables point into it.
  EntryArena arena_;
  mutable PointStripe stripes_[kStripeCount];
  // Read under any stripe lock; changed only with every stripe held.
  int activeBank_ = 0;
  // Guards the first round: the test of DiscoveryDone, PointOrder's growth
  // and the setting of DiscoveryDone. Taken before any stripe lock.
  mutable Mutex discoveryLock_;
  std::vector<PointEntry*> pointOrder_ GUARDED_BY(discoveryLock_);
  ManualEvent discoveryDone_;
  // The management thread's spare list, swapped with a bank's share of a
  // stripe so that the drain runs without the stripe's lock.
  std::vector<PointEntry*> draining_;
};

template <typename Emit>
bool PointStore::DrainBank(int bank, Emit&& emit) {
  bool any = false;
  bool goOn = true;
  for (PointStripe& stripe : stripes_) {
    {
      Locked<SpinLock> hold(stripe.lock);
      draining_.swap(stripe.changed[bank]);
    }
    any = any || !draining_.empty();
    for (PointEntry* entry : draining_) {
      entry->inBank[bank] = false;
      if (goOn) goOn = emit(*entry, std::string_view(entry->pending[bank]));
    }
    draining_.clear();
  }
  return any;
}

template <typename Take>
std::size_t PointStore::WalkFirstRound(std::size_t from, Take&& take) const {
  // Entries lie in sixteen stripes: ask for those a few points ahead.
  constexpr std::size_t kPrefetchAhead = 6;
  Locked<Mutex> round(discoveryLock_);
  WholeTable hold(*this);
  const std::vector<PointEntry*>& order = pointOrder_;
  std::size_t next = from;
  for (; next < order.size(); ++next) {
    if (next + kPrefetchAhead < order.size()) {
      const char* ahead =
          reinterpret_cast<const char*>(order[next + kPrefetchAhead]);
      __builtin_prefetch(ahead);
      __builtin_prefetch(ahead + 64);
      __builtin_prefetch(ahead + 128);
    }
    if (!take(*order[next])) break;
  }
  return next;
}

}  // namespace pelmora

#endif  // PELMORA_COLLECT_POINT_STORE_H_

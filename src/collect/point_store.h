// The last value of every point the host pushes, the host's first round
// (discovery and PointOrder), and each point's pending change in the two
// change banks.
//
// Host threads that push points of their own write no cache line in common:
// the table is looked up without a lock, and a point's values are written
// under the lock of the host slot that owns it, the slot of the thread that
// wrote it last. Each host thread takes a slot on its first call, so a host
// whose threads scan groups of points of their own writes every group under
// a lock that only its own thread takes. A slot's lock also guards its
// share of both banks' item maps. The flip of the banks and the snapshot
// hold every slot at once (WholeTable).
//
// Lock order: the discovery lock; then the insert lock, or the slots (in
// ascending order when several); then the change banks' event lock; then
// LogLock. The insert lock and a slot's lock are never held together.
#ifndef PELMORA_COLLECT_POINT_STORE_H_
#define PELMORA_COLLECT_POINT_STORE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "collect/point_table.h"
#include "config/service_log.h"
#include "platform/manual_event.h"
#include "platform/spin_lock.h"
#include "sync/mutex.h"

namespace pelmora {

// Places in a push where a test can hold the pushing thread while others
// run, to reach orders of events that are otherwise a few instructions
// wide. None is installed in service.
class PushProbe {
 public:
  virtual ~PushProbe() = default;
  // The push found the first round running and has not yet taken the
  // discovery lock.
  virtual void RoundRunning(std::string_view /*name*/) {}
  // The push holds the lock of host slot `slot`, and `entry` names that
  // slot as its owner.
  virtual void OwnerLocked(const PointEntry& /*entry*/, std::size_t /*slot*/) {}
  // The push has written `entry` and released its owner's lock.
  virtual void OwnerReleased(const PointEntry& /*entry*/) {}
};

// Slots for this many host threads; beyond them threads share slots, which
// costs speed only.
inline constexpr std::size_t kHostSlotCount = 16;

// A line of its own per slot: written by its threads, by the flip, and by
// the drain's swap only.
struct alignas(64) HostSlot {
  SpinLock lock;
  // This slot's share of each bank's item map: the entries that hold a
  // pending value for bank 0 / bank 1 (PointEntry::inBank).
  std::vector<PointEntry*> changed[2] GUARDED_BY(lock);
};

class PointStore {
 public:
  // The table has kDefaultHashSize buckets until SizeTable.
  explicit PointStore(const ServiceLog& log);

  // Sizes the table to `hashSize` buckets before any host call: 0 falls
  // back to 2001, sizes above kMaxHashSize are clamped.
  void SizeTable(std::uint32_t hashSize) EXCLUDES(insertLock_);
  std::size_t BucketCount() const { return table_.BucketCount(); }

  // One value pushed by the host (UpdateItem). While the first round runs,
  // a new name joins PointOrder and the first known name ends the round:
  // logged, DiscoveryDone set, the pair in no bank. After it, the pair
  // also becomes the point's pending change in the active bank. Any thread.
  void Update(std::string_view name, std::string_view value);

  // Installs `probe` (null: none); before any host call.
  void SetProbe(PushProbe* probe) { probe_ = probe; }

  bool IsDiscoveryDone() const { return discoveryDone_.IsSet(); }
  // Set once, when the first round is complete; never reset.
  ManualEvent& discoveryDone() { return discoveryDone_; }

  // Copies, for tests and tools.
  std::vector<std::string> PointOrderNames() const EXCLUDES(insertLock_);
  bool Lookup(std::string_view name, std::string* value) const;

  // Holds every slot's lock: no point is written while it lives.
  class WholeTable {
   public:
    explicit WholeTable(const PointStore& store);
    ~WholeTable();
    WholeTable(const WholeTable&) = delete;
    WholeTable& operator=(const WholeTable&) = delete;

   private:
    HostSlot* slots_;
  };

  // Makes `bank` (0 or 1) the one Update writes changes into.
  void SetActiveBank(const WholeTable& held, int bank);

  // Hands each change pending in the retired `bank` to emit(entry, value)
  // and empties the bank; stops early when emit returns false, dropping
  // what is left. Returns whether the bank held anything. Management thread
  // only, after the flip that retired `bank`: no host call reaches it.
  template <typename Emit>
  bool DrainBank(int bank, Emit&& emit);

  // Walks every point in first-seen order (PointOrder, then the points
  // found after the first round) from index `from`, with the table held
  // whole, handing each entry to take(entry) until take returns false
  // (that entry is not taken) or the list ends. Returns the index of the
  // first entry not taken: the number of points once all were.
  template <typename Take>
  std::size_t WalkPoints(std::size_t from, Take&& take) const
      EXCLUDES(discoveryLock_, insertLock_);

 private:
  // The entry of `name`, made, linked and listed when the name is new
  // (`inserted`).
  PointEntry* FindOrInsert(std::string_view name, std::size_t hash,
                           bool* inserted) EXCLUDES(insertLock_);
  // Writes `value` as the entry's latest value and, with `intoBank`, as its
  // pending change in the active bank, under the lock of its owner's slot;
  // the entry then belongs to the calling thread's slot.
  void Write(PointEntry& entry, std::string_view value, bool intoBank);
  // Returns the slot that owns `entry`, with its lock held.
  HostSlot& LockOwner(const PointEntry& entry) const NO_THREAD_SAFETY_ANALYSIS;
  // Makes the calling thread's slot the owner of `entry`. Only while the
  // current owner's lock is held: LockOwner trusts an owner it has seen
  // with that lock held to stay, so a hand-off after the release would let
  // a thread that locked the old owner write beside one that locks the new.
  void HandOff(HostSlot& owner, PointEntry& entry) REQUIRES(owner.lock);
  // Releases the lock LockOwner took for `entry`.
  void ReleaseOwner(HostSlot& owner, const PointEntry& entry)
      RELEASE(owner.lock);
  void PutItem(HostSlot& slot, PointEntry& entry, std::string_view value)
      REQUIRES(slot.lock);
  void LogLastPoint(std::string_view name, std::string_view value);

  const ServiceLog& log_;
  // Serialises the making and linking of entries; lookups take no lock.
  mutable Mutex insertLock_;
  EntryArena arena_ GUARDED_BY(insertLock_);
  PointTable table_;
  mutable HostSlot slots_[kHostSlotCount];
  // Every entry in first-seen order; the first firstRoundSize_ of them are
  // PointOrder.
  std::vector<PointEntry*> points_ GUARDED_BY(insertLock_);
  // PointOrder's length, fixed when the first round ends; npos until then.
  std::size_t firstRoundSize_ GUARDED_BY(insertLock_) = std::string::npos;
  // Read under any slot's lock; changed only with every slot held.
  int activeBank_ = 0;
  // Guards the first round: the test of DiscoveryDone, PointOrder's growth
  // and the setting of DiscoveryDone. Taken before any other lock.
  mutable Mutex discoveryLock_;
  ManualEvent discoveryDone_;
  PushProbe* probe_ = nullptr;
  // The management thread's spare list, swapped with a bank's share of a
  // slot so that the drain runs without the slot's lock.
  std::vector<PointEntry*> draining_;
};

template <typename Emit>
bool PointStore::DrainBank(int bank, Emit&& emit) {
  bool any = false;
  bool goOn = true;
  for (HostSlot& slot : slots_) {
    {
      Locked<SpinLock> hold(slot.lock);
      draining_.swap(slot.changed[bank]);
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
std::size_t PointStore::WalkPoints(std::size_t from, Take&& take) const {
  // Most of the walk is waiting for entries, even in first-seen order: ask
  // for those a few points ahead.
  constexpr std::size_t kPrefetchAhead = 6;
  // The discovery lock too: the push that ends the first round writes its
  // value after setting DiscoveryDone, before it releases that lock, and
  // the snapshot that DiscoveryDone releases must send that value.
  Locked<Mutex> round(discoveryLock_);
  Locked<Mutex> listed(insertLock_);
  WholeTable hold(*this);
  const std::vector<PointEntry*>& order = points_;
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

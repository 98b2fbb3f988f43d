#include "collect/point_store.h"

#include <algorithm>
#include <cstring>

#include "config/log_messages.h"

namespace pelmora {
namespace {

// Writes `value` over `text`: in place when the length is unchanged, as it
// mostly is from one scan of a point to the next.
void Overwrite(std::string& text, std::string_view value) {
  if (text.size() == value.size() && !value.empty()) {
    std::memcpy(&text[0], value.data(), value.size());
  } else {
    text.assign(value.data(), value.size());
  }
}

// The calling thread's host slot, taken in turn on its first call.
std::uint8_t MySlot() {
  static std::atomic<unsigned> nextSlot{0};
  thread_local int slot = -1;
  if (slot < 0) slot = static_cast<int>(nextSlot++ % kHostSlotCount);
  return static_cast<std::uint8_t>(slot);
}

}  // namespace

PointStore::PointStore(const ServiceLog& log) : log_(log) {
  table_.SizeBuckets(kDefaultHashSize);
}

void PointStore::SizeTable(std::uint32_t hashSize) {
  Locked<Mutex> hold(insertLock_);
  table_.SizeBuckets(UsableHashSize(hashSize));
}

void PointStore::Update(std::string_view name, std::string_view value) {
  const std::size_t hash = PointTable::Hash(name);
  if (!discoveryDone_.IsSet()) {
    if (probe_) probe_->RoundRunning(name);
    Locked<Mutex> round(discoveryLock_);
    bool inserted;
    PointEntry* entry = FindOrInsert(name, hash, &inserted);
    if (discoveryDone_.IsSet()) {
      // The round ended while this call waited for the lock.
      Write(*entry, value, true);
      return;
    }
    if (!inserted) {
      // A known name has come back: the host's first round is complete.
      // Set under the discovery lock, so PointOrder is final for whoever
      // sees it set. The pair goes into no bank: the snapshot sends it.
      LogLastPoint(name, value);
      {
        Locked<Mutex> hold(insertLock_);
        firstRoundSize_ = points_.size();
      }
      discoveryDone_.Set();
    }
    Write(*entry, value, false);
    return;
  }
  PointEntry* entry = table_.Find(name, hash);
  bool inserted;
  if (!entry) entry = FindOrInsert(name, hash, &inserted);
  Write(*entry, value, true);
}

PointEntry* PointStore::FindOrInsert(std::string_view name, std::size_t hash,
                                     bool* inserted) {
  Locked<Mutex> hold(insertLock_);
  PointEntry* entry = table_.Find(name, hash);
  *inserted = entry == nullptr;
  if (!entry) {
    entry = arena_.Make(name);
    entry->owner.store(MySlot(), std::memory_order_relaxed);
    table_.Link(entry, hash);
    points_.push_back(entry);
  }
  return entry;
}

HostSlot& PointStore::LockOwner(const PointEntry& entry) const {
  // The owner changes only under its own slot's lock: once that lock is
  // held and the entry still names it, no other thread writes the entry.
  std::uint8_t owner = entry.owner.load(std::memory_order_acquire);
  for (;;) {
    slots_[owner].lock.lock();
    const std::uint8_t now = entry.owner.load(std::memory_order_acquire);
    if (now == owner) return slots_[owner];
    slots_[owner].lock.unlock();
    owner = now;
  }
}

void PointStore::Write(PointEntry& entry, std::string_view value,
                       bool intoBank) {
  HostSlot& slot = LockOwner(entry);
  slot.lock.AssertHeld();
  if (probe_)
    probe_->OwnerLocked(entry, static_cast<std::size_t>(&slot - slots_));
  if (intoBank) PutItem(slot, entry, value);
  Overwrite(entry.value, value);
  // The entry passes to the caller's slot, so that the thread's next push
  // of it takes a lock that only its own thread takes.
  HandOff(slot, entry);
  ReleaseOwner(slot, entry);
}

void PointStore::HandOff(HostSlot& owner, PointEntry& entry) {
  // Once the new owner is seen, the writes made under the old one are seen
  // with it.
  const std::uint8_t mine = MySlot();
  if (&owner != &slots_[mine])
    entry.owner.store(mine, std::memory_order_release);
}

void PointStore::ReleaseOwner(HostSlot& owner, const PointEntry& entry) {
  owner.lock.unlock();
  if (probe_) probe_->OwnerReleased(entry);
}

void PointStore::PutItem(HostSlot& slot, PointEntry& entry,
                         std::string_view value) {
  const int bank = activeBank_;
  Overwrite(entry.pending[bank], value);
  if (!entry.inBank[bank]) {
    entry.inBank[bank] = true;
    slot.changed[bank].push_back(&entry);
  }
}

void PointStore::LogLastPoint(std::string_view name, std::string_view value) {
  log_.Log(FormatLogLine(messages::kLastPointFormat,
                         HostTextForLog(name).c_str(),
                         HostTextForLog(value).c_str()));
}

std::vector<std::string> PointStore::PointOrderNames() const {
  Locked<Mutex> hold(insertLock_);
  const std::size_t size = std::min(firstRoundSize_, points_.size());
  std::vector<std::string> names;
  names.reserve(size);
  for (std::size_t i = 0; i < size; ++i) names.emplace_back(points_[i]->name());
  return names;
}

bool PointStore::Lookup(std::string_view name, std::string* value) const {
  const PointEntry* entry = table_.Find(name, PointTable::Hash(name));
  if (!entry) return false;
  HostSlot& slot = LockOwner(*entry);
  slot.lock.AssertHeld();
  *value = entry->value;
  slot.lock.unlock();
  return true;
}

PointStore::WholeTable::WholeTable(const PointStore& store)
    : slots_(store.slots_) {
  for (std::size_t s = 0; s < kHostSlotCount; ++s) slots_[s].lock.lock();
}

PointStore::WholeTable::~WholeTable() {
  for (std::size_t s = kHostSlotCount; s-- > 0;) slots_[s].lock.unlock();
}

void PointStore::SetActiveBank(const WholeTable&, int bank) {
  activeBank_ = bank;
}

}  // namespace pelmora

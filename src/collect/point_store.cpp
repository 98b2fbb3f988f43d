#include "collect/point_store.h"

#include "config/log_messages.h"

namespace pelmora {
namespace {

// The stripe a point name belongs to: the top bits of a multiplicative
// hash, independent of the low bits that pick the bucket.
std::size_t StripeOf(std::size_t hash) {
  return (static_cast<std::uint32_t>(hash) * 2654435769u) >> 28;
}
static_assert(kStripeCount == 16, "StripeOf yields four bits");

}  // namespace

void PointStore::SizeTable(std::uint32_t hashSize) {
  // The configured size is shared out among the stripes, to the bucket.
  const std::uint32_t size = UsableHashSize(hashSize);
  for (std::size_t s = 0; s < kStripeCount; ++s) {
    Locked<SpinLock> hold(stripes_[s].lock);
    stripes_[s].table.SizeBuckets(static_cast<std::uint32_t>(
        size / kStripeCount + (s < size % kStripeCount ? 1 : 0)));
  }
}

std::size_t PointStore::BucketCount() const {
  std::size_t buckets = 0;
  for (PointStripe& stripe : stripes_) {
    Locked<SpinLock> hold(stripe.lock);
    buckets += stripe.table.BucketCount();
  }
  return buckets;
}

void PointStore::Update(std::string_view name, std::string_view value) {
  const std::size_t hash = PointTable::Hash(name);
  PointStripe& stripe = stripes_[StripeOf(hash)];
  if (!discoveryDone_.IsSet()) {
    Locked<Mutex> round(discoveryLock_);
    Locked<SpinLock> hold(stripe.lock);
    PointEntry* entry = stripe.table.Find(name, hash);
    if (discoveryDone_.IsSet()) {
      // The round ended while this call waited for the lock.
      if (!entry) entry = Insert(stripe, name, hash);
      PutItem(stripe, entry, value);
    } else if (entry) {
      // A known name has come back: the host's first round is complete.
      // Set under the discovery lock, so PointOrder is final for whoever
      // sees it set. The pair goes into no bank: the snapshot sends it.
      LogLastPoint(name, value);
      discoveryDone_.Set();
    } else {
      entry = Insert(stripe, name, hash);
      pointOrder_.push_back(entry);
    }
    entry->value.assign(value.data(), value.size());
    return;
  }
  Locked<SpinLock> hold(stripe.lock);
  PointEntry* entry = stripe.table.Find(name, hash);
  if (!entry) entry = Insert(stripe, name, hash);
  PutItem(stripe, entry, value);
  entry->value.assign(value.data(), value.size());
}

PointEntry* PointStore::Insert(PointStripe& stripe, std::string_view name,
                               std::size_t hash) {
  PointEntry* entry = arena_.Make(name, hash);
  stripe.table.Link(entry);
  return entry;
}

void PointStore::PutItem(PointStripe& stripe, PointEntry* entry,
                         std::string_view value) {
  const int bank = activeBank_;
  entry->pending[bank].assign(value.data(), value.size());
  if (!entry->inBank[bank]) {
    entry->inBank[bank] = true;
    stripe.changed[bank].push_back(entry);
  }
}

void PointStore::LogLastPoint(std::string_view name, std::string_view value) {
  log_.Log(FormatLogLine(messages::kLastPointFormat,
                         HostTextForLog(name).c_str(),
                         HostTextForLog(value).c_str()));
}

std::vector<std::string> PointStore::PointOrderNames() const {
  std::vector<std::string> names;
  WalkFirstRound(0, [&names](const PointEntry& entry) {
    names.emplace_back(entry.name());
    return true;
  });
  return names;
}

bool PointStore::Lookup(std::string_view name, std::string* value) const {
  const std::size_t hash = PointTable::Hash(name);
  PointStripe& stripe = stripes_[StripeOf(hash)];
  Locked<SpinLock> hold(stripe.lock);
  const PointEntry* entry = stripe.table.Find(name, hash);
  if (!entry) return false;
  *value = entry->value;
  return true;
}

PointStore::WholeTable::WholeTable(const PointStore& store)
    : stripes_(store.stripes_) {
  for (std::size_t s = 0; s < kStripeCount; ++s) stripes_[s].lock.lock();
}

PointStore::WholeTable::~WholeTable() {
  for (std::size_t s = kStripeCount; s-- > 0;) stripes_[s].lock.unlock();
}

void PointStore::SetActiveBank(const WholeTable&, int bank) {
  activeBank_ = bank;
}

}  // namespace pelmora

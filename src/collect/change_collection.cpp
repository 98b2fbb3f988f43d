// What host threads do with each pushed value and event: the point table,
// discovery of the host's first round, and the active change bank.
#include <cstdio>

#include "config/log_messages.h"
#include "service/link_service.h"

namespace pelmora {

void LinkService::SizePointTable() {
  // The configured size is shared out among the stripes, to the bucket.
  const std::uint32_t size = UsableHashSize(hashSize_);
  for (std::size_t s = 0; s < kStripeCount; ++s) {
    stripes_[s].table.SizeBuckets(static_cast<std::uint32_t>(
        size / kStripeCount + (s < size % kStripeCount ? 1 : 0)));
  }
}

std::size_t LinkService::PointTableBuckets() const {
  std::size_t buckets = 0;
  for (const PointStripe& stripe : stripes_)
    buckets += stripe.table.BucketCount();
  return buckets;
}

void LinkService::UpdateItem(std::string_view name, std::string_view value) {
  const std::size_t hash = PointTable::Hash(name);
  PointStripe& stripe = stripes_[StripeOf(hash)];
  if (!DiscoveryDone->IsSet()) {
    std::lock_guard<std::mutex> round(discoveryLock_);
    std::lock_guard<SpinLock> hold(stripe.lock);
    PointEntry* entry = stripe.table.Find(name, hash);
    if (DiscoveryDone->IsSet()) {
      // The round ended while this call waited for the lock.
      if (!entry) entry = stripe.table.Insert(name, hash);
      PutItem(stripe, entry, value);
    } else if (entry) {
      // A known name has come back: the host's first round is complete.
      // Set under the discovery lock, so PointOrder is final for whoever
      // sees it set. The pair goes into no bank: the snapshot sends it.
      std::string line(
          sizeof messages::kLastPointFormat + name.size() + value.size(), '\0');
      int n =
          std::snprintf(&line[0], line.size(), messages::kLastPointFormat,
                        std::string(name).c_str(), std::string(value).c_str());
      line.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
      Log(line);
      DiscoveryDone->Set();
    } else {
      entry = stripe.table.Insert(name, hash);
      pointOrder_.push_back(entry);
    }
    entry->value.assign(value.data(), value.size());
    return;
  }
  std::lock_guard<SpinLock> hold(stripe.lock);
  PointEntry* entry = stripe.table.Find(name, hash);
  if (!entry) entry = stripe.table.Insert(name, hash);
  PutItem(stripe, entry, value);
  entry->value.assign(value.data(), value.size());
}

void LinkService::PutItem(PointStripe& stripe, PointEntry* entry,
                          std::string_view value) {
  const int bank = activeBank_ - 1;
  entry->pending[bank].assign(value.data(), value.size());
  if (!entry->inBank[bank]) {
    entry->inBank[bank] = true;
    stripe.itemMap[bank].push_back(entry);
  }
}

void LinkService::SendEventEx(std::string_view a, std::string_view b) {
  std::string record;
  record.reserve(a.size() + 1 + b.size());
  record.append(a).append(1, '|').append(b);
  std::lock_guard<SpinLock> hold(events_.lock);
  events_.eventList[activeBank_ - 1].push_back(std::move(record));
}

std::vector<std::string> LinkService::PointOrderNames() const {
  WholeBuffer hold(stripes_, nullptr);
  std::vector<std::string> names;
  names.reserve(pointOrder_.size());
  for (const PointEntry* entry : pointOrder_) names.emplace_back(entry->name());
  return names;
}

bool LinkService::LookupPoint(std::string_view name, std::string* value) const {
  const std::size_t hash = PointTable::Hash(name);
  PointStripe& stripe = stripes_[StripeOf(hash)];
  std::lock_guard<SpinLock> hold(stripe.lock);
  const PointEntry* entry = stripe.table.Find(name, hash);
  if (!entry) return false;
  *value = entry->value;
  return true;
}

}  // namespace pelmora

// What host threads do with each pushed value and event: the point table,
// discovery of the host's first round, and the active change bank.
#include <cstdio>

#include "config/log_messages.h"
#include "service/link_service.h"

namespace pelmora {

void LinkService::SizePointTable() { pointTable_.SizeBuckets(hashSize_); }

void LinkService::UpdateItem(std::string_view name, std::string_view value) {
  const std::size_t hash = PointTable::Hash(name);
  std::lock_guard<std::mutex> hold(BufferLock);
  PointEntry* entry = pointTable_.Find(name, hash);
  const bool discovered = DiscoveryDone->IsSet();
  if (!discovered) {
    if (entry) {
      // A known name has come back: the host's first round is complete.
      // Set under BufferLock, so PointOrder is final for whoever waits.
      std::string line(sizeof messages::kLastPointFormat + name.size() +
                           value.size(),
                       '\0');
      int n = std::snprintf(&line[0], line.size(), messages::kLastPointFormat,
                            std::string(name).c_str(),
                            std::string(value).c_str());
      line.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
      Log(line);
      DiscoveryDone->Set();
    } else {
      entry = pointTable_.Insert(name, hash);
      pointOrder_.push_back(entry);
    }
  } else {
    if (!entry) entry = pointTable_.Insert(name, hash);
    PutItem(entry, value);
  }
  entry->value.assign(value.data(), value.size());
}

// Requires: BufferLock held.
void LinkService::PutItem(PointEntry* entry, std::string_view value) {
  const int bank = activeBank_ - 1;
  entry->pending[bank].assign(value.data(), value.size());
  if (!entry->inBank[bank]) {
    entry->inBank[bank] = true;
    banks_[bank].itemMap.push_back(entry);
  }
}

void LinkService::SendEventEx(std::string_view a, std::string_view b) {
  std::string record;
  record.reserve(a.size() + 1 + b.size());
  record.append(a).append(1, '|').append(b);
  std::lock_guard<std::mutex> hold(BufferLock);
  banks_[activeBank_ - 1].eventList.push_back(std::move(record));
}

std::vector<std::string> LinkService::PointOrderNames() const {
  std::lock_guard<std::mutex> hold(BufferLock);
  std::vector<std::string> names;
  names.reserve(pointOrder_.size());
  for (const PointEntry* entry : pointOrder_) names.push_back(entry->name);
  return names;
}

bool LinkService::LookupPoint(std::string_view name, std::string* value) const {
  std::lock_guard<std::mutex> hold(BufferLock);
  const PointEntry* entry = pointTable_.Find(name, PointTable::Hash(name));
  if (!entry) return false;
  *value = entry->value;
  return true;
}

}  // namespace pelmora

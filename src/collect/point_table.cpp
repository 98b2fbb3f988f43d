#include "collect/point_table.h"

namespace pelmora {

void PointTable::SizeBuckets(std::uint32_t hashSize) {
  if (hashSize == 0) hashSize = kDefaultHashSize;
  if (hashSize > kMaxHashSize) hashSize = kMaxHashSize;
  buckets_.assign(hashSize, nullptr);
}

std::size_t PointTable::Hash(std::string_view name) {
  // FNV-1a: cheap for the short names hosts use, and spreads them well
  // over a prime bucket count.
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : name) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return static_cast<std::size_t>(h ^ (h >> 32));
}

PointEntry* PointTable::Find(std::string_view name, std::size_t hash) const {
  if (buckets_.empty()) return nullptr;
  for (PointEntry* e = buckets_[hash % buckets_.size()]; e; e = e->next) {
    if (e->hash == hash && e->name == name) return e;
  }
  return nullptr;
}

PointEntry* PointTable::Insert(std::string_view name, std::size_t hash) {
  if (buckets_.empty()) SizeBuckets(kDefaultHashSize);
  PointEntry& entry = entries_.emplace_back();
  entry.hash = hash;
  entry.name.assign(name.data(), name.size());
  PointEntry*& head = buckets_[hash % buckets_.size()];
  entry.next = head;
  head = &entry;
  return &entry;
}

}  // namespace pelmora

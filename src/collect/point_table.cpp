#include "collect/point_table.h"

#include <cstring>
#include <functional>
#include <new>

namespace pelmora {
namespace {

constexpr std::size_t kBlockSize = 64 * 1024;

std::size_t RoundUp(std::size_t n) {
  constexpr std::size_t a = alignof(PointEntry);
  return (n + a - 1) / a * a;
}

}  // namespace

std::uint32_t UsableHashSize(std::uint32_t hashSize) {
  if (hashSize == 0) return kDefaultHashSize;
  return hashSize > kMaxHashSize ? kMaxHashSize : hashSize;
}

EntryArena::~EntryArena() {
  for (PointEntry* entry : entries_) entry->~PointEntry();
}

PointEntry* EntryArena::Make(std::string_view name, std::size_t hash) {
  const std::size_t size = RoundUp(sizeof(PointEntry) + name.size());
  if (blockUsed_ + size > blockSize_) {
    blockSize_ = size > kBlockSize ? size : kBlockSize;
    blocks_.emplace_back(new unsigned char[blockSize_]);
    blockUsed_ = 0;
  }
  unsigned char* at = blocks_.back().get() + blockUsed_;
  blockUsed_ += size;
  entries_.push_back(nullptr);
  auto* entry = new (at) PointEntry;
  entries_.back() = entry;
  entry->hash = hash;
  entry->nameLength = static_cast<std::uint32_t>(name.size());
  if (!name.empty())
    std::memcpy(at + sizeof(PointEntry), name.data(), name.size());
  return entry;
}

void PointTable::SizeBuckets(std::uint32_t buckets) {
  bucketCount_ = buckets == 0 ? 1 : buckets;
  buckets_.reset(new std::atomic<PointEntry*>[bucketCount_]);
  for (std::size_t b = 0; b < bucketCount_; ++b)
    buckets_[b].store(nullptr, std::memory_order_relaxed);
}

std::size_t PointTable::Hash(std::string_view name) {
  // The standard library's string hash takes a word at a step, where a
  // byte-at-a-time hash would make every call wait on a chain of 25
  // multiplications for a typical name.
  return std::hash<std::string_view>()(name);
}

PointEntry* PointTable::Find(std::string_view name, std::size_t hash) const {
  if (bucketCount_ == 0) return nullptr;
  for (PointEntry* e =
           buckets_[hash % bucketCount_].load(std::memory_order_acquire);
       e; e = e->next) {
    if (e->hash == hash && e->name() == name) return e;
  }
  return nullptr;
}

void PointTable::Link(PointEntry* entry) {
  std::atomic<PointEntry*>& head = buckets_[entry->hash % bucketCount_];
  entry->next = head.load(std::memory_order_relaxed);
  // Publishes the entry whole: a lookup that sees it sees its fields.
  head.store(entry, std::memory_order_release);
}

}  // namespace pelmora

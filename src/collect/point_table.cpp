#include "collect/point_table.h"

#include <cstring>
#include <functional>
#include <new>

namespace pelmora {
namespace {

constexpr std::size_t kBlockSize = 64 * 1024;
constexpr std::size_t kLinksPerBlock = 4096;
constexpr std::size_t kCacheLine = 64;
// Where an entry's name starts: its nameStart, the entry's last byte.
constexpr std::size_t kNameOffset = sizeof(PointEntry) - 1;

// An entry with its name, rounded up to whole cache lines: every push of a
// point writes its entry, and two host threads that push neighbouring
// points (one the even, the other the odd ones) would otherwise pass the
// line they share back and forth on every call.
std::size_t EntrySize(std::size_t nameLength) {
  return (kNameOffset + nameLength + kCacheLine - 1) / kCacheLine * kCacheLine;
}

}  // namespace

std::uint32_t UsableHashSize(std::uint32_t hashSize) {
  if (hashSize == 0) return kDefaultHashSize;
  return hashSize > kMaxHashSize ? kMaxHashSize : hashSize;
}

EntryArena::~EntryArena() {
  for (const Block& block : blocks_) {
    for (std::size_t at = 0; at < block.used;) {
      auto* entry = reinterpret_cast<PointEntry*>(block.start + at);
      at += EntrySize(entry->nameLength());
      entry->~PointEntry();
    }
  }
}

PointEntry* EntryArena::Make(std::string_view name) {
  const std::size_t size = EntrySize(name.size());
  if (blocks_.empty() || blocks_.back().used + size > blocks_.back().size) {
    const std::size_t blockSize = size > kBlockSize ? size : kBlockSize;
    Block block{std::unique_ptr<unsigned char[]>(
                    new unsigned char[blockSize + kCacheLine - 1]),
                nullptr, blockSize, 0};
    // The block's first entry starts a cache line, and so every entry does.
    const auto address = reinterpret_cast<std::uintptr_t>(block.bytes.get());
    block.start =
        block.bytes.get() + (kCacheLine - address % kCacheLine) % kCacheLine;
    blocks_.push_back(std::move(block));
  }
  Block& block = blocks_.back();
  unsigned char* at = block.start + block.used;
  block.used += size;
  auto* entry = new (at) PointEntry;
  entry->lengthAndReported.store(static_cast<std::uint32_t>(name.size()),
                                 std::memory_order_relaxed);
  if (!name.empty()) std::memcpy(at + kNameOffset, name.data(), name.size());
  return entry;
}

void PointTable::SizeBuckets(std::uint32_t buckets) {
  bucketCount_ = buckets == 0 ? 1 : buckets;
  buckets_.reset(new std::atomic<const ChainLink*>[bucketCount_]);
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
  for (const ChainLink* link =
           buckets_[hash % bucketCount_].load(std::memory_order_acquire);
       link; link = link->next) {
    if (link->hash == hash && link->entry->name() == name) return link->entry;
  }
  return nullptr;
}

void PointTable::Link(PointEntry* entry, std::size_t hash) {
  if (linkBlocks_.empty() || linksUsed_ == kLinksPerBlock) {
    linkBlocks_.emplace_back(new ChainLink[kLinksPerBlock]);
    linksUsed_ = 0;
  }
  ChainLink& link = linkBlocks_.back()[linksUsed_++];
  std::atomic<const ChainLink*>& head = buckets_[hash % bucketCount_];
  link = {head.load(std::memory_order_relaxed), hash, entry};
  // Publishes the link whole: a lookup that sees it sees its fields and
  // the entry's name.
  head.store(&link, std::memory_order_release);
}

}  // namespace pelmora

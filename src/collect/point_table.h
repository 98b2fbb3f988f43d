// The last value of every point the host has pushed, in a hash table whose
// bucket count is fixed before the first point arrives and never regrown.
//
// Each entry also carries the point's pending change in each of the two
// change banks, so that a host call for a known point does one hash lookup
// in all: it finds the entry once and writes both the bank's value and the
// latest value in place, reusing their storage. Entries are made by an
// EntryArena and linked into a table, which never owns them.
#ifndef PELMORA_COLLECT_POINT_TABLE_H_
#define PELMORA_COLLECT_POINT_TABLE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"

namespace pelmora {

struct PointEntry {
  std::string value;  // last value pushed
  // Value pushed while bank 1 / bank 2 was active, valid while inBank is set.
  std::string pending[2];
  static constexpr std::uint32_t kReportedBit = 0x80000000u;
  static constexpr std::uint32_t kLengthMask = ~kReportedBit;
  // The name's length, set once when the entry is made, and kReportedBit
  // once the point has been reported too long for any datagram.
  std::atomic<std::uint32_t> lengthAndReported{0};
  bool inBank[2] = {false, false};
  // The host slot under whose lock the values above are written (see
  // PointStore).
  std::atomic<std::uint8_t> owner{0};
  // The name's first byte; the rest follow it in the entry's allocation.
  // Last, in the byte that would otherwise pad the entry, so that a name
  // of 25 bytes still ends within two cache lines.
  char nameStart[1];

  std::string_view name() const {
    return {nameStart,
            lengthAndReported.load(std::memory_order_relaxed) & kLengthMask};
  }
  std::size_t nameLength() const { return name().size(); }
  // True the first time only: a host pushing one long value every scan is
  // told once. Any thread.
  bool FirstTooLongReport() {
    return !(lengthAndReported.fetch_or(kReportedBit) & kReportedBit);
  }
};
// No padding anywhere, so the name starts at the entry's last byte.
static_assert(sizeof(PointEntry) == 3 * sizeof(std::string) + 4 + 2 + 1 + 1,
              "a point entry holds padding before its name");
// Above this a configured size is clamped: 1M buckets cost 4 to 8 MiB, far
// more than any host's point list needs.
inline constexpr std::uint32_t kMaxHashSize = 1u << 20;

// The bucket count a configured HashSize gives: 0 falls back to
// kDefaultHashSize, sizes above kMaxHashSize are clamped.
std::uint32_t UsableHashSize(std::uint32_t hashSize);

// Every entry of a point store, each with its name in the same allocation
// and on cache lines of its own, carved in insertion order from large
// blocks: a host that scans its points in first-seen order reads memory in
// order, and the hardware prefetcher can run ahead of it, while two host
// threads that push neighbouring points write no line in common. Entries
// live as long as the arena. Its owner serialises the calls of Make.
class EntryArena {
 public:
  EntryArena() = default;
  ~EntryArena();
  EntryArena(const EntryArena&) = delete;
  EntryArena& operator=(const EntryArena&) = delete;

  PointEntry* Make(std::string_view name);

 private:
  struct Block {
    std::unique_ptr<unsigned char[]> bytes;
    unsigned char* start;  // the first cache line within bytes
    std::size_t size;      // from start
    std::size_t used;      // entries lie back to back up to here
  };
  std::vector<Block> blocks_;
};

// Looked up without a lock: a point once linked keeps its place in its
// chain, and a new one is published whole.
//
// The chains are made of links of their own, apart from the entries: a
// lookup that passes other points on its way reads their links, which
// nothing writes once they are linked, and never the lines where host
// threads write those points' values.
class PointTable {
 public:
  // Sets the bucket count: before any point is linked, while no thread
  // looks up.
  void SizeBuckets(std::uint32_t buckets);
  std::size_t BucketCount() const { return bucketCount_; }

  static std::size_t Hash(std::string_view name);
  // Null when the name is unknown. Names compare byte for byte. Any thread.
  PointEntry* Find(std::string_view name, std::size_t hash) const;
  // Requires: Find(entry's name, hash) is null, and no other Link at the
  // same moment. The entry must outlive the table.
  void Link(PointEntry* entry, std::size_t hash);

 private:
  struct ChainLink {
    const ChainLink* next;
    std::size_t hash;
    PointEntry* entry;
  };

  std::unique_ptr<std::atomic<const ChainLink*>[]> buckets_;
  std::size_t bucketCount_ = 0;
  // Links are carved in insertion order from blocks that live as long as
  // the table.
  std::vector<std::unique_ptr<ChainLink[]>> linkBlocks_;
  std::size_t linksUsed_ = 0;  // in the last block
};

}  // namespace pelmora

#endif  // PELMORA_COLLECT_POINT_TABLE_H_

// The last value of every point the host has pushed, in a hash table whose
// bucket count is fixed before the first point arrives and never regrown.
//
// Each entry also carries the point's pending change in each of the two
// change banks, so that a host call for a known point does one hash lookup
// in all: it finds the entry once and writes both the bank's value and the
// latest value in place, reusing their storage.
#ifndef PELMORA_COLLECT_POINT_TABLE_H_
#define PELMORA_COLLECT_POINT_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace pelmora {

struct PointEntry {
  PointEntry* next = nullptr;  // bucket chain
  std::size_t hash = 0;
  std::string name;
  std::string value;  // last value pushed
  // Value pushed while bank 1 / bank 2 was active, valid while inBank is set.
  std::string pending[2];
  bool inBank[2] = {false, false};
};

inline constexpr std::uint32_t kDefaultHashSize = 2001;
// Above this a configured size is clamped: 1M buckets cost 4 to 8 MiB, far
// more than any host's point list needs.
inline constexpr std::uint32_t kMaxHashSize = 1u << 20;

class PointTable {
 public:
  PointTable() = default;
  PointTable(const PointTable&) = delete;
  PointTable& operator=(const PointTable&) = delete;

  // Sets the bucket count once, before any point is stored: 0 falls back to
  // kDefaultHashSize, sizes above kMaxHashSize are clamped.
  void SizeBuckets(std::uint32_t hashSize);
  std::size_t BucketCount() const { return buckets_.size(); }

  static std::size_t Hash(std::string_view name);
  // Null when the name is unknown. Names compare byte for byte.
  PointEntry* Find(std::string_view name, std::size_t hash) const;
  // Requires: Find(name, hash) is null. Entries live as long as the table.
  PointEntry* Insert(std::string_view name, std::size_t hash);
  std::size_t size() const { return entries_.size(); }

 private:
  std::vector<PointEntry*> buckets_;
  std::deque<PointEntry> entries_;  // stable addresses
};

}  // namespace pelmora

#endif  // PELMORA_COLLECT_POINT_TABLE_H_

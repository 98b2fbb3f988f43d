// The point table and the two change banks, split by point name into
// stripes, each under a lock of its own, so that host threads pushing
// different points rarely meet on a lock or a cache line.
//
// Together the stripe locks and the event lock are the buffer lock: one
// stripe's lock guards that stripe's points and bank entries; the flip and
// the snapshot take all of them (WholeBuffer) so that they see every stripe
// at one moment. Lock order: the discovery
// lock, then stripes in ascending order, then the event lock, then LogLock.
#ifndef PELMORA_COLLECT_CHANGE_BANKS_H_
#define PELMORA_COLLECT_CHANGE_BANKS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "collect/point_table.h"
#include "platform/sync.h"

namespace pelmora {

inline constexpr std::size_t kStripeCount = 16;

struct alignas(64) PointStripe {
  SpinLock lock;
  PointTable table;
  // This stripe's share of each bank's item map: the entries that hold a
  // pending value for bank 1 / bank 2 (PointEntry::inBank).
  std::vector<PointEntry*> itemMap[2];
};

struct alignas(64) EventBanks {
  SpinLock lock;
  std::vector<std::string> eventList[2];  // bank 1 / bank 2, arrival order
};

// The stripe a point name belongs to: the top bits of a multiplicative
// hash, independent of the low bits that pick the bucket.
inline std::size_t StripeOf(std::size_t hash) {
  return (static_cast<std::uint32_t>(hash) * 2654435769u) >> 28;
}
static_assert(kStripeCount == 16, "StripeOf yields four bits");

// Holds every stripe lock, and the event lock when asked to.
class WholeBuffer {
 public:
  WholeBuffer(PointStripe* stripes, EventBanks* events);
  ~WholeBuffer();
  WholeBuffer(const WholeBuffer&) = delete;
  WholeBuffer& operator=(const WholeBuffer&) = delete;

 private:
  PointStripe* stripes_;
  EventBanks* events_;
};

}  // namespace pelmora

#endif  // PELMORA_COLLECT_CHANGE_BANKS_H_

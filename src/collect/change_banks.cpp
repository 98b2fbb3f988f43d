#include "collect/change_banks.h"

namespace pelmora {

WholeBuffer::WholeBuffer(PointStripe* stripes, EventBanks* events)
    : stripes_(stripes), events_(events) {
  for (std::size_t s = 0; s < kStripeCount; ++s) stripes_[s].lock.lock();
  if (events_) events_->lock.lock();
}

WholeBuffer::~WholeBuffer() {
  if (events_) events_->lock.unlock();
  for (std::size_t s = kStripeCount; s-- > 0;) stripes_[s].lock.unlock();
}

}  // namespace pelmora

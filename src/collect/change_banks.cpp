#include "collect/change_banks.h"

namespace pelmora {

void ChangeBanks::PutEvent(std::string_view a, std::string_view b) {
  std::string record;
  record.reserve(a.size() + 1 + b.size());
  record.append(a).append(1, '|').append(b);
  Locked<SpinLock> hold(eventLock_);
  std::vector<std::string>& events = eventList_[activeBank_];
  std::size_t& bytes = eventBytes_[activeBank_];
  if (events.size() >= limits_.events ||
      record.size() > limits_.eventBytes - bytes) {
    ++refused_[activeBank_];
    return;
  }
  bytes += record.size();
  events.push_back(std::move(record));
}

int ChangeBanks::Flip() {
  PointStore::WholeTable table(points_);
  Locked<SpinLock> hold(eventLock_);
  const int retiring = activeBank_;
  activeBank_ = 1 - retiring;
  points_.SetActiveBank(table, activeBank_);
  return retiring;
}

}  // namespace pelmora

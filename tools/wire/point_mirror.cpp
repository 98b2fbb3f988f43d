#include "point_mirror.h"

namespace pelmora::wire {

void PointMirror::Apply(const Datagram& datagram) {
  Tally* tally = nullptr;
  switch (datagram.kind) {
    case kKindItem:
      tally = &itemTally_;
      break;
    case kKindSnapshot:
      tally = &snapshotTally_;
      break;
    case kKindEvent:
      tally = &eventTally_;
      break;
    default:
      return;
  }
  ++tally->datagrams;
  tally->records += datagram.records.size();

  if (datagram.kind == kKindEvent) return;
  for (const std::string& record : datagram.records) {
    std::string_view name;
    std::string_view value;
    SplitRecord(record, &name, &value);
    points_[std::string(name)] = std::string(value);
  }
}

PointMirror::Tally PointMirror::tally(std::uint8_t kind) const {
  switch (kind) {
    case kKindItem:
      return itemTally_;
    case kKindEvent:
      return eventTally_;
    case kKindSnapshot:
      return snapshotTally_;
    default:
      return Tally();
  }
}

}  // namespace pelmora::wire

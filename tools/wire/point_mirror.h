// The host's points as the server knows them, mirrored from the datagrams
// that have arrived.
#ifndef PELMORA_TOOLS_WIRE_POINT_MIRROR_H_
#define PELMORA_TOOLS_WIRE_POINT_MIRROR_H_

#include <cstdint>
#include <map>
#include <string>

#include "datagram.h"

namespace pelmora::wire {

class PointMirror {
 public:
  struct Tally {
    std::uint64_t datagrams = 0;
    std::uint64_t records = 0;
  };

  // Item and snapshot records set name -> value. A snapshot is not a reset:
  // one snapshot spans as many datagrams as the point list needs, so each
  // datagram carries only part of it. Events are only counted, in the
  // event tally: a receiver may run for days.
  void Apply(const Datagram& datagram);

  const std::map<std::string, std::string>& points() const { return points_; }
  // Datagrams and records applied of one kind; zero for unknown kinds.
  Tally tally(std::uint8_t kind) const;

 private:
  std::map<std::string, std::string> points_;
  Tally itemTally_;
  Tally eventTally_;
  Tally snapshotTally_;
};

}  // namespace pelmora::wire

#endif  // PELMORA_TOOLS_WIRE_POINT_MIRROR_H_

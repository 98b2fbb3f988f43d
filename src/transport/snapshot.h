// The full snapshot: every point the table holds, with its latest value,
// sent straight on the link's socket. The first round's points come in
// PointOrder, then those first pushed later, in the order they were first
// seen: a server that starts late, a link restarted by the dialog and the
// update button all give the server the whole state, not only the points
// of the first round.
#ifndef PELMORA_TRANSPORT_SNAPSHOT_H_
#define PELMORA_TRANSPORT_SNAPSHOT_H_

#include "collect/point_store.h"
#include "config/service_log.h"
#include "platform/env.h"
#include "platform/manual_event.h"
#include "transport/datagram_format.h"
#include "transport/udp_link.h"

namespace pelmora {

enum class SnapshotResult {
  kComplete = 0,     // every datagram sent, or nothing to send
  kStopped = 1,      // the stop was signalled part way
  kSendFailed = -1,  // a datagram could not be sent: the rest is not tried
};

struct SnapshotParts {
  Env& env;
  const ServiceLog& log;
  const PointStore& points;
  UdpLink& link;
  const DatagramHeader& header;
  const ManualEvent& stop;
};

// Sends the snapshot on the calling thread: the send thread once discovery
// is complete, or the dialog's thread when the operator asks for it. Points
// whose record no datagram can carry are left out, each reported once.
SnapshotResult SendSnapshot(const SnapshotParts& parts);

}  // namespace pelmora

#endif  // PELMORA_TRANSPORT_SNAPSHOT_H_

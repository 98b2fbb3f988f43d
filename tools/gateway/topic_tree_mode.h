// The pelmora/ tree (topic_tree.h): each station's points, events and status
// as the station table's changes make them, the commands' results, the
// gateway's own status ("offline" as the will and at a clean stop, "online"
// on each connection), the points the broker held read back once per
// connection, and the writes published to the write topics.
#ifndef PELMORA_TOOLS_GATEWAY_TOPIC_TREE_MODE_H_
#define PELMORA_TOOLS_GATEWAY_TOPIC_TREE_MODE_H_

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "message.h"
#include "publishing_mode.h"
#include "station_table.h"

namespace pelmora::gateway {

// A raw point value as the payload of its retained message. An empty
// payload would delete the message, so an empty value is sent as one NUL
// byte, and a value that starts with a NUL byte gets one more in front.
std::string PayloadOfValue(std::string_view value);
std::string ValueOfPayload(std::string_view payload);

// The tree's messages for the table's changes, in the order they happened,
// waiting for Take. On the thread that calls the table.
class TopicTreeMessages : public StationObserver {
 public:
  // `table` outlives this and is followed by it. `json`: values and events
  // as JSON objects (texts decoded from GBK, time received) instead of the
  // bytes as sent.
  TopicTreeMessages(const StationTable& table, bool json);

  // What waits, appended to `out` and taken away.
  void Take(std::vector<Message>* out);
  // Every retained message the broker should hold now: each station's
  // status and points.
  void RetainedState(std::vector<Message>* out) const;
  // The status of each of `macs`, as the table holds it now.
  void Statuses(const std::vector<std::string>& macs,
                std::vector<Message>* out) const;

  // StationObserver.
  void StationOnline(const std::string& mac, const Moment& now) override;
  void PointSet(const std::string& mac, std::string_view name,
                std::string_view value, const Moment& now) override;
  void Event(const std::string& mac, std::string_view record,
             const Moment& now) override;
  void HeldPointsCleared(const std::string& mac,
                         const std::vector<std::string>& names,
                         const Moment& now) override;
  void SnapshotEnded(const std::string& mac,
                     const std::vector<std::string>& cleared, bool complete,
                     const Moment& now) override;
  void TreeInDoubt(const std::string& mac, const Moment& now) override;
  void StationSilent(const std::string& mac, const Moment& now) override;
  void PointsHeld(const std::string& mac) override;

 private:
  Message StatusMessage(const std::string& mac) const;
  Message PointMessage(const std::string& mac, std::string_view name,
                       std::string_view value,
                       std::chrono::system_clock::time_point received) const;

  const StationTable& table_;
  const bool json_;
  std::vector<Message> pending_;
  // Held points a snapshot ending now clears, behind those it had.
  std::vector<std::string> heldCleared_;
};

// The points that retained messages of the tree name; other topics are
// passed over.
std::vector<StationTable::HeldPoint> HeldPoints(
    const std::vector<Message>& held);

std::unique_ptr<PublishingMode> MakeTopicTreeMode(bool json);

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_TOPIC_TREE_MODE_H_

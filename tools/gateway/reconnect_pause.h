// How long the broker link waits before its next connection attempt: a
// second after a connection that was up, then twice as long after each
// attempt that failed, up to the longest pause (--reconnect-max). A pure
// rule: the link's thread does the waiting.
#ifndef PELMORA_TOOLS_GATEWAY_RECONNECT_PAUSE_H_
#define PELMORA_TOOLS_GATEWAY_RECONNECT_PAUSE_H_

#include <algorithm>

namespace pelmora::gateway {

class ReconnectPause {
 public:
  explicit ReconnectPause(int longestSeconds) : longest_(longestSeconds) {}

  // The pause, in seconds, after an attempt that ended: `wasUp` when it
  // had connected, so that a second outage starts again from a second.
  int After(bool wasUp) {
    if (wasUp) next_ = kFirstSeconds;
    const int pause = std::min(next_, longest_);
    next_ = std::min(next_ * 2, longest_);
    return pause;
  }

 private:
  static constexpr int kFirstSeconds = 1;
  int longest_;
  int next_ = kFirstSeconds;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_RECONNECT_PAUSE_H_

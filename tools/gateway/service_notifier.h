// The gateway's word to the service manager that started it, through
// libsystemd's sd_notify (a datagram to the socket in $NOTIFY_SOCKET):
// READY=1 once it serves, WATCHDOG=1 every half of the interval the manager
// asks for (WATCHDOG_USEC) for as long as the main loop turns, STATUS= with
// the line an admin reads in `systemctl status`, and STOPPING=1. Without
// $NOTIFY_SOCKET it does nothing.
//
// Only the main loop calls it: a loop that hangs stops the beats, and the
// manager restarts the gateway.
#ifndef PELMORA_TOOLS_GATEWAY_SERVICE_NOTIFIER_H_
#define PELMORA_TOOLS_GATEWAY_SERVICE_NOTIFIER_H_

#include <chrono>
#include <functional>
#include <string>

namespace pelmora::gateway {

class ServiceNotifier {
 public:
  using Clock = std::chrono::steady_clock;

  // Reads the environment the manager gave: whether it listens, and the
  // watchdog's interval, if any.
  ServiceNotifier();

  // Whether a manager listens.
  bool active() const { return active_; }

  // Each round of the main loop. The first round at which `ready` holds
  // sends READY=1 with the status; after it the status, asked of `status`
  // at most once a second, goes whenever it has changed. A beat goes every
  // half watchdog interval.
  void Round(Clock::time_point now, bool ready,
             const std::function<std::string()>& status);

  // The gateway is stopping.
  void Stopping();

 private:
  void Send(const std::string& state);

  bool active_ = false;
  bool ready_ = false;
  bool warned_ = false;
  // Zero when the manager keeps no watchdog.
  std::chrono::microseconds watchdog_{0};
  Clock::time_point nextBeat_;
  Clock::time_point nextStatus_;
  std::string status_;
};

}  // namespace pelmora::gateway

#endif  // PELMORA_TOOLS_GATEWAY_SERVICE_NOTIFIER_H_

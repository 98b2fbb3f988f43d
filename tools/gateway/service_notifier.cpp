#include "service_notifier.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace pelmora::gateway {

namespace {

constexpr std::chrono::seconds kStatusEvery{1};

}  // namespace

ServiceNotifier::ServiceNotifier() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  active_ = socket != nullptr && *socket != '\0';
  std::uint64_t usec = 0;
  // Also checks that the watchdog is meant for this process, where the
  // manager names one (WATCHDOG_PID).
  if (active_ && sd_watchdog_enabled(0, &usec) > 0)
    watchdog_ = std::chrono::microseconds(usec);
}

void ServiceNotifier::Round(Clock::time_point now, bool ready,
                            const std::function<std::string()>& status) {
  if (!active_) return;
  std::string state;
  if (!ready_ && ready) {
    ready_ = true;
    status_ = status();
    state = "READY=1\nSTATUS=" + status_;
    nextStatus_ = now + kStatusEvery;
  } else if (ready_ && now >= nextStatus_) {
    nextStatus_ = now + kStatusEvery;
    std::string line = status();
    if (line != status_) {
      status_ = std::move(line);
      state = "STATUS=" + status_;
    }
  }
  // Beats go from the first round: the manager heeds them once the
  // gateway is ready, and starting is bounded by its start timeout.
  if (watchdog_.count() != 0 && now >= nextBeat_) {
    nextBeat_ = now + watchdog_ / 2;
    state += state.empty() ? "WATCHDOG=1" : "\nWATCHDOG=1";
  }
  if (!state.empty()) Send(state);
}

void ServiceNotifier::Stopping() {
  if (active_) Send("STOPPING=1\nSTATUS=stopping");
}

void ServiceNotifier::Send(const std::string& state) {
  const int result = sd_notify(0, state.c_str());
  // Said once; the beats go on, for a manager that listens again.
  if (result < 0 && !warned_) {
    warned_ = true;
    std::fprintf(stderr,
                 "pelmora-gateway: warning: cannot tell the service manager "
                 "(NOTIFY_SOCKET): %s\n",
                 std::strerror(-result));
  }
}

}  // namespace pelmora::gateway

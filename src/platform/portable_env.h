// The parts of Env that the standard library gives alike on every platform:
// pauses, the tick count, event waits and threads.
#ifndef PELMORA_PLATFORM_PORTABLE_ENV_H_
#define PELMORA_PLATFORM_PORTABLE_ENV_H_

#include "platform/env.h"

namespace pelmora {

class PortableEnv : public Env {
 public:
  void SleepMs(std::uint32_t ms) override;
  std::uint32_t TickCount() override;
  bool WaitForEvent(const ManualEvent& event, std::uint32_t ms) override;
  std::unique_ptr<WorkerThread> StartThread(std::function<void()> body,
                                            bool suspended) override;
};

}  // namespace pelmora

#endif  // PELMORA_PLATFORM_PORTABLE_ENV_H_

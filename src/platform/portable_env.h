// The parts of Env that the standard library gives alike on every platform:
// pauses, the tick count, event waits and threads; and the keyed hash and
// random source, over whichever system crypto the platform compiles.
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
  // The platform's system_crypto implementation.
  bool RandomBytes(std::uint8_t* out, std::size_t length) override;
  bool HmacSha256(const std::uint8_t* key, std::size_t keyLength,
                  const std::uint8_t* data, std::size_t length,
                  std::uint8_t mac[kHmacSha256Size]) override;
};

}  // namespace pelmora

#endif  // PELMORA_PLATFORM_PORTABLE_ENV_H_

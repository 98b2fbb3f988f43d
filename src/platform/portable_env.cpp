#include "platform/portable_env.h"

#include <chrono>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/system_crypto.h"

namespace pelmora {

void PortableEnv::SleepMs(std::uint32_t ms) {
  if (ms == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::uint32_t PortableEnv::TickCount() {
  auto since = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

bool PortableEnv::WaitForEvent(const ManualEvent& event, std::uint32_t ms) {
  return event.WaitFor(std::chrono::milliseconds(ms));
}

std::unique_ptr<WorkerThread> PortableEnv::StartThread(
    std::function<void()> body, bool suspended) {
  try {
    return std::make_unique<WorkerThread>(std::move(body), suspended);
  } catch (const std::system_error&) {
    return nullptr;
  }
}

bool PortableEnv::RandomBytes(std::uint8_t* out, std::size_t length) {
  return SystemRandomBytes(out, length);
}

bool PortableEnv::HmacSha256(const std::uint8_t* key, std::size_t keyLength,
                             const std::uint8_t* data, std::size_t length,
                             std::uint8_t mac[kHmacSha256Size]) {
  return SystemHmacSha256(key, keyLength, data, length, mac);
}

}  // namespace pelmora

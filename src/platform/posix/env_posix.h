// Pieces of the POSIX Env that live in files of their own.
#ifndef PELMORA_PLATFORM_POSIX_ENV_POSIX_H_
#define PELMORA_PLATFORM_POSIX_ENV_POSIX_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/env.h"

namespace pelmora {

std::unique_ptr<LogFile> OpenPosixLogFile(const std::string& path);

// Interfaces with a hardware address, loopback excluded, in the kernel's
// interface order.
bool ListPosixAdapterAddresses(std::vector<std::vector<std::uint8_t>>* out);

}  // namespace pelmora

#endif  // PELMORA_PLATFORM_POSIX_ENV_POSIX_H_

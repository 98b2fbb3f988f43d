// Pieces of the Windows Env that live in files of their own.
#ifndef PELMORA_PLATFORM_WIN32_ENV_WIN32_H_
#define PELMORA_PLATFORM_WIN32_ENV_WIN32_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/env.h"

namespace pelmora {

std::unique_ptr<LogFile> OpenWin32LogFile(const std::string& path);

// GetAdaptersInfo, first into 640 bytes, then into the size it asks for
// until the list fits.
bool ListWin32AdapterAddresses(std::vector<std::vector<std::uint8_t>>* out);

}  // namespace pelmora

#endif  // PELMORA_PLATFORM_WIN32_ENV_WIN32_H_

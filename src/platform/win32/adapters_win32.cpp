#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <memory>

#include "platform/win32/env_win32.h"

namespace pelmora {

bool ListWin32AdapterAddresses(std::vector<std::vector<std::uint8_t>>* out) {
  ULONG size = 640;
  std::unique_ptr<unsigned char[]> buffer(
      new (std::nothrow) unsigned char[size]);
  if (!buffer) return false;
  auto* info = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get());
  if (::GetAdaptersInfo(info, &size) == ERROR_BUFFER_OVERFLOW) {
    buffer.reset(new (std::nothrow) unsigned char[size]);
    if (!buffer) return false;
    info = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get());
  }
  if (::GetAdaptersInfo(info, &size) != ERROR_SUCCESS) return false;
  for (const IP_ADAPTER_INFO* it = info; it != nullptr; it = it->Next) {
    UINT length = std::min<UINT>(it->AddressLength, MAX_ADAPTER_ADDRESS_LENGTH);
    out->emplace_back(it->Address, it->Address + length);
  }
  return true;
}

}  // namespace pelmora

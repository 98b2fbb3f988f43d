#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <algorithm>
#include <memory>

#include "platform/win32/env_win32.h"

namespace pelmora {

bool ListWin32AdapterAddresses(std::vector<std::vector<std::uint8_t>>* out) {
  // The list can grow between two calls: ask again until the buffer holds
  // it, starting from 640 bytes.
  ULONG size = 640;
  std::unique_ptr<unsigned char[]> buffer;
  DWORD result;
  do {
    buffer.reset(new (std::nothrow) unsigned char[size]);
    if (!buffer) return false;
    result = ::GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()),
                               &size);
  } while (result == ERROR_BUFFER_OVERFLOW);
  // A machine without adapters has an empty list, not a broken one.
  if (result == ERROR_NO_DATA) return true;
  if (result != ERROR_SUCCESS) return false;
  for (const auto* it = reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.get());
       it != nullptr; it = it->Next) {
    UINT length = std::min<UINT>(it->AddressLength, MAX_ADAPTER_ADDRESS_LENGTH);
    out->emplace_back(it->Address, it->Address + length);
  }
  return true;
}

}  // namespace pelmora

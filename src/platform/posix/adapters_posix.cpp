#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>

#include <algorithm>
#include <utility>

#include "platform/posix/env_posix.h"

namespace pelmora {

bool ListPosixAdapterAddresses(std::vector<std::vector<std::uint8_t>>* out) {
  struct ifaddrs* all = nullptr;
  if (::getifaddrs(&all) != 0) return false;
  std::vector<std::pair<int, std::vector<std::uint8_t>>> found;
  for (struct ifaddrs* it = all; it != nullptr; it = it->ifa_next) {
    if (it->ifa_addr == nullptr || it->ifa_addr->sa_family != AF_PACKET)
      continue;
    if (it->ifa_flags & IFF_LOOPBACK) continue;
    const auto* link = reinterpret_cast<const sockaddr_ll*>(it->ifa_addr);
    if (link->sll_halen == 0) continue;
    std::size_t length = std::min<std::size_t>(link->sll_halen, 8);
    found.emplace_back(
        link->sll_ifindex,
        std::vector<std::uint8_t>(link->sll_addr, link->sll_addr + length));
  }
  ::freeifaddrs(all);
  std::stable_sort(
      found.begin(), found.end(),
      [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& entry : found) out->push_back(std::move(entry.second));
  return true;
}

}  // namespace pelmora

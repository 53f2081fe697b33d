#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "host/net/local_addresses.h"

namespace veyra {

std::vector<std::string> LocalIpv4Addresses() {
  std::vector<std::string> addresses;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    return addresses;
  }
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
        (entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) {
      continue;
    }
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
    const std::uint32_t host = ntohl(v4->sin_addr.s_addr);
    if ((host >> 16) == 0xA9FE) {  // 169.254/16: no router, no phone reaches it
      continue;
    }
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &v4->sin_addr, text, sizeof(text)) != nullptr) {
      addresses.emplace_back(text);
    }
  }
  freeifaddrs(list);
  return addresses;
}

}  // namespace veyra

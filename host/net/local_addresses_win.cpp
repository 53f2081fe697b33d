// Winsock before windows.h and iphlpapi.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>
#include <windows.h>

#include <vector>

#include "host/net/local_addresses.h"

namespace veyra {

std::vector<std::string> LocalIpv4Addresses() {
  std::vector<std::string> addresses;
  // The documented way: start with 15 KB and grow when the system says
  // ERROR_BUFFER_OVERFLOW, since adapters may come and go between calls.
  ULONG size = 15 * 1024;
  std::vector<unsigned char> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    result = GetAdaptersAddresses(
        AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
        nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != NO_ERROR) {
    return addresses;
  }
  for (const auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
       adapter != nullptr; adapter = adapter->Next) {
    if (adapter->OperStatus != IfOperStatusUp || adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK) {
      continue;
    }
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress;
         unicast != nullptr; unicast = unicast->Next) {
      const sockaddr* address = unicast->Address.lpSockaddr;
      if (address == nullptr || address->sa_family != AF_INET) {
        continue;
      }
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
      const unsigned long host = ntohl(v4->sin_addr.s_addr);
      if ((host >> 24) == 127 || (host >> 16) == 0xA9FE) {
        continue;
      }
      char text[INET_ADDRSTRLEN] = {};
      if (inet_ntop(AF_INET, &v4->sin_addr, text, sizeof(text)) != nullptr) {
        addresses.emplace_back(text);
      }
    }
  }
  return addresses;
}

}  // namespace veyra

#include "host/net/local_addresses.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "host/net/socket.h"

namespace veyra {
namespace {

bool IsPrivate(const std::string& address) {
  std::array<unsigned, 4> octets{};
  char tail = 0;
  if (std::sscanf(address.c_str(), "%u.%u.%u.%u%c", &octets[0], &octets[1], &octets[2], &octets[3],
                  &tail) != 4) {
    return false;
  }
  return octets[0] == 10 || (octets[0] == 172 && octets[1] >= 16 && octets[1] <= 31) ||
         (octets[0] == 192 && octets[1] == 168);
}

}  // namespace

std::string PreferredLanAddress(const std::vector<std::string>& addresses) {
  for (const std::string& address : addresses) {
    if (IsPrivate(address)) {
      return address;
    }
  }
  return addresses.empty() ? std::string("127.0.0.1") : addresses.front();
}

std::optional<std::string> DefaultRouteAddress() {
  // A documentation address (TEST-NET-1): routed like any other off-link
  // address, and never answered.
  const std::uint32_t source = Ipv4SourceToward(0xC0000201U);
  if (source == 0) {
    return std::nullopt;
  }
  return Ipv4Text(source);
}

std::vector<std::string> PageAddresses(const std::vector<std::string>& addresses,
                                       const std::optional<std::string>& defaultRoute) {
  const bool routed = defaultRoute && std::find(addresses.begin(), addresses.end(),
                                                *defaultRoute) != addresses.end();
  const std::string first = routed ? *defaultRoute : PreferredLanAddress(addresses);
  std::vector<std::string> ordered{first};
  for (const std::string& address : addresses) {
    if (address != first) {
      ordered.push_back(address);
    }
  }
  return ordered;
}

}  // namespace veyra

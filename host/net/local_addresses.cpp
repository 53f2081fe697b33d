#include "host/net/local_addresses.h"

#include <array>
#include <cstdio>

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

}  // namespace veyra

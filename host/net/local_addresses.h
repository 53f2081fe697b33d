#pragma once

#include <string>
#include <vector>

namespace veyra {

// The IPv4 addresses of this machine's interfaces that are up, loopback and
// link-local addresses left out, in the system's order.
std::vector<std::string> LocalIpv4Addresses();

// The address a phone on the same network reaches this PC at: the first
// private one (10/8, 172.16/12, 192.168/16) of |addresses|, else the first
// one, else "127.0.0.1".
std::string PreferredLanAddress(const std::vector<std::string>& addresses);

}  // namespace veyra

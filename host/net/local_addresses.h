#pragma once

#include <optional>
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

// The address this machine sends from on its default route, which is the
// network a phone is most likely on; nothing without a default route. No
// packet is sent: a datagram socket is connected and asked its own name.
std::optional<std::string> DefaultRouteAddress();

// Where the page is offered: the default route's address when it is one of
// |addresses|, else PreferredLanAddress's choice, first; then the others in
// their order. Never empty.
std::vector<std::string> PageAddresses(const std::vector<std::string>& addresses,
                                       const std::optional<std::string>& defaultRoute);

}  // namespace veyra

#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veyra {

// One receiver found by DNS-SD: one SRV record of "_veyra._tcp.local".
struct DiscoveredReceiver {
  std::string instanceName;  // the SRV owner: "<instance>._veyra._tcp.local"
  std::string targetHost;    // the SRV target host name
  std::string address;       // numeric address (IPv4 or IPv6 text), or empty
  std::uint16_t port = 0;    // the SRV port

  bool operator==(const DiscoveredReceiver&) const = default;
};

// Browses the local network for receivers for at most three seconds and
// returns what answered first, in record order, duplicates kept. Blocks the
// caller; keeps no state between calls. When the platform cannot browse,
// logs WARN "DnsServiceBrowse unavailable (%lu); use --host to connect
// manually" and returns an empty list. Connect to |address| when it is not
// empty, else to |targetHost|.
std::vector<DiscoveredReceiver> BrowseReceivers();

}  // namespace veyra

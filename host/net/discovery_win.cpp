#include "host/net/discovery.h"
#include "host/net/dns_sd_browser_win.h"
#include "host/net/receiver_browse.h"
#include "host/net/socket.h"

namespace veyra {

std::vector<DiscoveredReceiver> BrowseReceivers() {
  StartSockets();
  DnsServiceBrowser browser;
  return BrowseWith(browser, ResolveAddressText);
}

}  // namespace veyra

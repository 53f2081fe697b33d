#include "host/net/discovery.h"
#include "host/net/receiver_browse.h"
#include "host/net/socket.h"

namespace veyra {
namespace {

// The native build has no DNS-SD facility: the browse is unavailable, as on
// Windows before DnsServiceBrowse existed.
class UnavailableBrowser final : public ServiceBrowser {
 public:
  std::uint32_t Start(const std::string& /*serviceName*/,
                      std::shared_ptr<DnsBrowseState> /*state*/) override {
    return kBrowseUnavailable;
  }
  bool Cancel() override { return false; }
};

}  // namespace

std::vector<DiscoveredReceiver> BrowseReceivers() {
  UnavailableBrowser browser;
  return BrowseWith(browser, ResolveAddressText);
}

}  // namespace veyra

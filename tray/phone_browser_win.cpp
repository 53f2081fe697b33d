#include "tray/phone_browser_win.h"

#include "host/net/dns_sd_browser_win.h"

namespace veyra {

std::vector<FoundPhone> BrowsePhones() {
  DnsServiceBrowser browser;
  return RunPhoneBrowse(browser);
}

}  // namespace veyra

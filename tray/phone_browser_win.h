#pragma once

// Order matters: Winsock before windows.h, windows.h before windns.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <windns.h>

#include <cstdint>
#include <vector>

#include "tray/phone_discovery.h"

namespace veyra {

// The phones answering a DNS-SD browse of the local network, in order of
// arrival, one per address; empty when DNS-SD is unavailable. Takes 0.4 to
// 2.9 s plus the cancellation. Runs on the tray's search thread.
std::vector<FoundPhone> BrowsePhones();

// The browse's completion callback; its query context is the search's
// PhoneBrowseContext.
void WINAPI BrowseCallback(DWORD status, PVOID queryContext, PDNS_RECORD records);

// The SRV and A records of a platform record list.
std::vector<AnswerRecord> AnswerRecordsFrom(const DNS_RECORD* records);

// DnsServiceBrowse through entry points resolved at run time: Windows 10
// before 1809 lacks them (a static import would stop the tray from
// loading), and Wine exports a stub that aborts the process when called,
// so under Wine the browse counts as unavailable.
class DnsPhoneBrowser final : public PhoneServiceBrowser {
 public:
  DnsPhoneBrowser();

  bool Available() const { return browse_ != nullptr && cancel_ != nullptr; }

  std::uint32_t Start(PhoneBrowseContext& context) override;
  bool Cancel() override;

 private:
  using BrowseFunction = DNS_STATUS(WINAPI*)(PDNS_SERVICE_BROWSE_REQUEST, PDNS_SERVICE_CANCEL);
  using CancelFunction = DNS_STATUS(WINAPI*)(PDNS_SERVICE_CANCEL);

  BrowseFunction browse_ = nullptr;
  CancelFunction cancel_ = nullptr;
  DNS_SERVICE_BROWSE_REQUEST request_{};
  DNS_SERVICE_CANCEL cancelHandle_{};  // valid until the browse is cancelled
};

// True when this process runs under Wine (its ntdll exports
// wine_get_version).
bool RunningUnderWine();

}  // namespace veyra

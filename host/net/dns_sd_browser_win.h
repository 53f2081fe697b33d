#pragma once

// Winsock before windows.h, windows.h before the DNS API.
#include <winsock2.h>

#include <windows.h>

#include <windns.h>

#include <memory>
#include <string>
#include <vector>

#include "host/net/dns_sd_browse.h"

namespace veyra {

// The SRV and A records of a DNS_RECORD list (as DnsServiceBrowse delivers
// it) in order, names converted from UTF-16 to UTF-8; absent names stay
// absent.
std::vector<DnsAnswerRecord> AnswerFromDnsRecords(const DNS_RECORDW* list);

// True when this process runs under Wine (its ntdll exports
// wine_get_version).
bool RunningUnderWine();

// DnsServiceBrowse through entry points resolved at run time: Windows 10
// before 1809 lacks them (a static import would stop the program from
// loading), and Wine exports a stub that aborts the process when called, so
// under Wine the browse counts as unavailable.
class DnsServiceBrowser final : public ServiceBrowser {
 public:
  DnsServiceBrowser();

  bool Available() const { return browse_ != nullptr && cancel_ != nullptr; }

  std::uint32_t Start(const std::string& serviceName,
                      std::shared_ptr<DnsBrowseState> state) override;
  bool Cancel() override;

  // Everything the platform may touch until its final callback: the result
  // state, the request with its name, and the cancel handle.
  struct PendingBrowse {
    std::shared_ptr<DnsBrowseState> state;
    std::wstring queryName;
    DNS_SERVICE_BROWSE_REQUEST request{};
    DNS_SERVICE_CANCEL cancel{};
  };
  // The platform's reference, handed over as the request's context and
  // deleted by the final callback.
  using PlatformReference = std::shared_ptr<PendingBrowse>;

  // The browse's completion callback; |context| is a PlatformReference.
  static VOID WINAPI OnAnswer(DWORD status, PVOID context, PDNS_RECORD records);

 private:
  using BrowseFunction = DNS_STATUS(WINAPI*)(PDNS_SERVICE_BROWSE_REQUEST, PDNS_SERVICE_CANCEL);
  using CancelFunction = DNS_STATUS(WINAPI*)(PDNS_SERVICE_CANCEL);

  BrowseFunction browse_ = nullptr;
  CancelFunction cancel_ = nullptr;
  std::shared_ptr<PendingBrowse> pending_;
};

}  // namespace veyra

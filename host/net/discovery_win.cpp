// Winsock before windows.h, windows.h before the DNS API.
#include <winsock2.h>

#include <windows.h>

#include <windns.h>

#include <cstring>
#include <memory>
#include <string>

#include "host/base/utf_conversion_win.h"
#include "host/net/discovery.h"
#include "host/net/dns_records_win.h"
#include "host/net/receiver_browse.h"
#include "host/net/socket.h"

namespace veyra {
namespace {

std::string Utf8FromWideText(const wchar_t* text) {
  return text == nullptr ? std::string() : Utf8FromWide(text);
}

using BrowseFunction = DNS_STATUS(WINAPI*)(PDNS_SERVICE_BROWSE_REQUEST, PDNS_SERVICE_CANCEL);
using CancelFunction = DNS_STATUS(WINAPI*)(PDNS_SERVICE_CANCEL);

template <typename Function>
Function LookUp(HMODULE module, const char* name) {
  if (module == nullptr) {
    return nullptr;
  }
  // Through the generic function type, which -Wcast-function-type allows.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// Wine's ntdll exports wine_get_version. Wine's DnsServiceBrowse is a stub
// that aborts the process when called, so under Wine it counts as missing.
bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Everything the platform may touch until its final callback: the result
// state, the request with its name, and the cancel handle.
struct PendingBrowse {
  std::shared_ptr<BrowseResults> results;
  std::wstring queryName;
  DNS_SERVICE_BROWSE_REQUEST request{};
  DNS_SERVICE_CANCEL cancel{};
};

// The platform's reference, handed over as the request's context.
using PlatformReference = std::shared_ptr<PendingBrowse>;

VOID WINAPI OnBrowseAnswer(DWORD status, PVOID context, PDNS_RECORD records) {
  auto* reference = static_cast<PlatformReference*>(context);
  BrowseResults& results = *(*reference)->results;
  if (records != nullptr && status == ERROR_SUCCESS) {
    const std::vector<DnsAnswerRecord> answer = AnswerFromDnsRecords(records);
    results.OnAnswer(status, &answer);
  } else {
    results.OnAnswer(status, nullptr);
  }
  if (records != nullptr) {
    DnsFree(records, DnsFreeRecordList);
  }
  // Cancelling causes exactly one further callback, with ERROR_CANCELLED;
  // nothing comes after it, so the platform's reference ends here.
  if (status == ERROR_CANCELLED) {
    results.OnFinished();
    const std::unique_ptr<PlatformReference> release(reference);
  }
}

class DnsServiceBrowser final : public ServiceBrowser {
 public:
  std::uint32_t Start(const std::string& serviceName,
                      std::shared_ptr<BrowseResults> results) override {
    if (RunningUnderWine()) {
      return ERROR_PROC_NOT_FOUND;
    }
    HMODULE dnsapi = GetModuleHandleW(L"dnsapi.dll");
    if (dnsapi == nullptr) {
      dnsapi = LoadLibraryExW(L"dnsapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    const auto browse = LookUp<BrowseFunction>(dnsapi, "DnsServiceBrowse");
    cancel_ = LookUp<CancelFunction>(dnsapi, "DnsServiceBrowseCancel");
    if (browse == nullptr || cancel_ == nullptr) {
      return ERROR_PROC_NOT_FOUND;
    }
    pending_ = std::make_shared<PendingBrowse>();
    pending_->results = std::move(results);
    pending_->queryName = WideFromUtf8(serviceName);
    auto reference = std::make_unique<PlatformReference>(pending_);
    pending_->request.Version = DNS_QUERY_REQUEST_VERSION1;
    pending_->request.InterfaceIndex = 0;
    pending_->request.QueryName = pending_->queryName.c_str();
    pending_->request.pBrowseCallback = OnBrowseAnswer;
    pending_->request.pQueryContext = reference.get();
    const DNS_STATUS status = browse(&pending_->request, &pending_->cancel);
    if (status == static_cast<DNS_STATUS>(kDnsRequestPending)) {
      // Owned by the platform from here until its ERROR_CANCELLED callback.
      static_cast<void>(reference.release());
    }
    return static_cast<std::uint32_t>(status);
  }

  void Cancel() override {
    if (pending_ && cancel_ != nullptr) {
      cancel_(&pending_->cancel);
    }
  }

 private:
  CancelFunction cancel_ = nullptr;
  std::shared_ptr<PendingBrowse> pending_;
};

}  // namespace

std::vector<DnsAnswerRecord> AnswerFromDnsRecords(const DNS_RECORDW* list) {
  std::vector<DnsAnswerRecord> answer;
  for (const DNS_RECORDW* record = list; record != nullptr; record = record->pNext) {
    DnsAnswerRecord entry;
    entry.type = record->wType;
    entry.name = Utf8FromWideText(record->pName);
    if (record->wType == DNS_TYPE_SRV) {
      entry.srvTarget = Utf8FromWideText(record->Data.SRV.pNameTarget);
      entry.srvPort = record->Data.SRV.wPort;
    } else if (record->wType == DNS_TYPE_A) {
      // IP4_ADDRESS holds the address in network order.
      std::memcpy(entry.ipv4.data(), &record->Data.A.IpAddress, entry.ipv4.size());
    }
    answer.push_back(std::move(entry));
  }
  return answer;
}

std::vector<DiscoveredReceiver> BrowseReceivers() {
  StartSockets();
  DnsServiceBrowser browser;
  return BrowseWith(browser, ResolveAddressText);
}

}  // namespace veyra

#include "host/net/dns_sd_browser_win.h"

#include <cstring>
#include <new>

#include "host/base/utf_conversion.h"

namespace veyra {
namespace {

std::optional<std::string> Utf8Name(const wchar_t* text) {
  if (text == nullptr) {
    return std::nullopt;
  }
  return Utf8FromWide(text);
}

// GetProcAddress's result to a typed entry point, by way of the generic
// function pointer type that converts without a cast-function-type warning.
template <typename Function>
Function EntryPoint(HMODULE module, const char* name) {
  if (module == nullptr) {
    return nullptr;
  }
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::vector<DnsAnswerRecord> AnswerFromDnsRecords(const DNS_RECORDW* list) {
  std::vector<DnsAnswerRecord> answer;
  for (const DNS_RECORDW* record = list; record != nullptr; record = record->pNext) {
    if (record->wType != DNS_TYPE_SRV && record->wType != DNS_TYPE_A) {
      continue;
    }
    DnsAnswerRecord& entry = answer.emplace_back();
    entry.type = record->wType;
    entry.name = Utf8Name(record->pName);
    if (record->wType == DNS_TYPE_SRV) {
      entry.srvTarget = Utf8Name(record->Data.SRV.pNameTarget).value_or(std::string());
      entry.srvPort = record->Data.SRV.wPort;
    } else {
      // IP4_ADDRESS holds the address in network order.
      std::memcpy(entry.ipv4.data(), &record->Data.A.IpAddress, entry.ipv4.size());
    }
  }
  return answer;
}

DnsServiceBrowser::DnsServiceBrowser() {
  if (RunningUnderWine()) {
    return;
  }
  // dnsapi.dll is loaded already when imported; it is never unloaded, since
  // the platform may still call back into this program.
  HMODULE dnsapi = GetModuleHandleW(L"dnsapi.dll");
  if (dnsapi == nullptr) {
    dnsapi = LoadLibraryExW(L"dnsapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  browse_ = EntryPoint<BrowseFunction>(dnsapi, "DnsServiceBrowse");
  cancel_ = EntryPoint<CancelFunction>(dnsapi, "DnsServiceBrowseCancel");
}

std::uint32_t DnsServiceBrowser::Start(const std::string& serviceName,
                                       std::shared_ptr<DnsBrowseState> state) {
  if (!Available()) {
    return ERROR_PROC_NOT_FOUND;
  }
  pending_ = std::make_shared<PendingBrowse>();
  pending_->state = std::move(state);
  pending_->queryName = WideFromUtf8(serviceName);
  auto reference = std::make_unique<PlatformReference>(pending_);
  pending_->request.Version = DNS_QUERY_REQUEST_VERSION1;
  pending_->request.InterfaceIndex = 0;  // all interfaces
  pending_->request.QueryName = pending_->queryName.c_str();
  pending_->request.pBrowseCallback = OnAnswer;
  pending_->request.pQueryContext = reference.get();
  const DNS_STATUS status = browse_(&pending_->request, &pending_->cancel);
  if (status == static_cast<DNS_STATUS>(status::kDnsRequestPending)) {
    // Owned by the platform from here until its ERROR_CANCELLED callback.
    static_cast<void>(reference.release());
  } else {
    pending_.reset();
  }
  return static_cast<std::uint32_t>(status);
}

bool DnsServiceBrowser::Cancel() { return pending_ && cancel_(&pending_->cancel) == ERROR_SUCCESS; }

VOID WINAPI DnsServiceBrowser::OnAnswer(DWORD status, PVOID context, PDNS_RECORD records) {
  auto* reference = static_cast<PlatformReference*>(context);
  DnsBrowseState& state = *(*reference)->state;
  if (records != nullptr && status == ERROR_SUCCESS) {
    std::vector<DnsAnswerRecord> answer;
    try {
      answer = AnswerFromDnsRecords(records);
    } catch (const std::bad_alloc&) {
      answer.clear();  // the answer is lost; the waiter is still woken
    }
    state.OnAnswer(status, &answer);
  } else {
    state.OnAnswer(status, nullptr);
  }
  if (records != nullptr) {
    DnsFree(records, DnsFreeRecordList);
  }
  // Cancelling causes exactly one further callback, with ERROR_CANCELLED;
  // nothing comes after it, so the platform's reference ends here.
  if (status == ERROR_CANCELLED) {
    state.OnFinished();
    const std::unique_ptr<PlatformReference> release(reference);
  }
}

}  // namespace veyra

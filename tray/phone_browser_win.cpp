#include "tray/phone_browser_win.h"

#include <array>
#include <new>

namespace veyra {
namespace {

// GetProcAddress's result to a typed entry point, by way of the generic
// function pointer type that converts without a cast-function-type warning.
template <typename Function>
Function EntryPoint(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

bool RunningUnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

DnsPhoneBrowser::DnsPhoneBrowser() {
  if (RunningUnderWine()) {
    return;
  }
  // dnsapi.dll is loaded already (DnsFree is imported); it is never
  // unloaded, since the platform may still call back into this program.
  HMODULE dnsapi = GetModuleHandleW(L"dnsapi.dll");
  if (dnsapi == nullptr) {
    dnsapi = LoadLibraryExW(L"dnsapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  }
  if (dnsapi == nullptr) {
    return;
  }
  browse_ = EntryPoint<BrowseFunction>(dnsapi, "DnsServiceBrowse");
  cancel_ = EntryPoint<CancelFunction>(dnsapi, "DnsServiceBrowseCancel");
}

std::uint32_t DnsPhoneBrowser::Start(PhoneBrowseContext& context) {
  if (!Available()) {
    return ERROR_PROC_NOT_FOUND;
  }
  request_ = {};
  request_.Version = DNS_QUERY_REQUEST_VERSION1;
  request_.InterfaceIndex = 0;  // all interfaces
  request_.QueryName = kPhoneServiceQuery;
  request_.pBrowseCallback = BrowseCallback;
  request_.pQueryContext = &context;
  return browse_(&request_, &cancelHandle_);
}

bool DnsPhoneBrowser::Cancel() { return cancel_(&cancelHandle_) == ERROR_SUCCESS; }

std::vector<AnswerRecord> AnswerRecordsFrom(const DNS_RECORD* records) {
  std::vector<AnswerRecord> answer;
  for (const DNS_RECORD* record = records; record != nullptr; record = record->pNext) {
    if (record->wType != DNS_TYPE_SRV && record->wType != DNS_TYPE_A) {
      continue;
    }
    AnswerRecord& entry = answer.emplace_back();
    entry.type = record->wType;
    if (record->pName != nullptr) {
      entry.ownerName = record->pName;
    }
    if (record->wType == DNS_TYPE_SRV) {
      if (record->Data.SRV.pNameTarget != nullptr) {
        entry.srvTarget = record->Data.SRV.pNameTarget;
      }
      entry.srvPort = record->Data.SRV.wPort;
    } else {
      IN_ADDR address{};
      address.S_un.S_addr = record->Data.A.IpAddress;
      std::array<wchar_t, 22> text{};
      if (InetNtopW(AF_INET, &address, text.data(), text.size()) != nullptr) {
        entry.ipv4Text = text.data();
      }
    }
  }
  return answer;
}

void WINAPI BrowseCallback(DWORD status, PVOID queryContext, PDNS_RECORD records) {
  std::vector<AnswerRecord> answer;
  if (records != nullptr) {
    if (status == ERROR_SUCCESS) {
      try {
        answer = AnswerRecordsFrom(records);
      } catch (const std::bad_alloc&) {
        answer.clear();  // the answer is lost; the waiter is still woken
      }
    }
    DnsFree(records, DnsFreeRecordList);
  }
  static_cast<PhoneBrowseContext*>(queryContext)->OnCallback(status, answer);
}

std::vector<FoundPhone> BrowsePhones() {
  // InetNtopW needs Winsock started. The start is never undone: it is
  // counted, and a search is rare.
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  DnsPhoneBrowser browser;
  return RunPhoneBrowse(browser);
}

}  // namespace veyra

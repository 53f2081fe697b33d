// Discovery's Windows glue under Wine: DNS_RECORD lists as DnsServiceBrowse
// delivers them, and the browse on a system whose DnsServiceBrowse cannot
// be used.
#include <winsock2.h>

#include <windows.h>

#include <windns.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host/base/recording_log_sink.h"
#include "host/net/discovery.h"
#include "host/net/dns_sd_browser_win.h"
#include "host/net/receiver_browse.h"

namespace veyra {
namespace {

// A hand-built record list; the records point at each other.
class RecordList {
 public:
  DNS_RECORDW& Add(WORD type, const wchar_t* name) {
    records_.emplace_back();
    DNS_RECORDW& record = records_.back();
    record.wType = type;
    record.pName = const_cast<wchar_t*>(name);
    return record;
  }
  void Srv(const wchar_t* name, const wchar_t* target, WORD port) {
    DNS_RECORDW& record = Add(DNS_TYPE_SRV, name);
    record.Data.SRV.pNameTarget = const_cast<wchar_t*>(target);
    record.Data.SRV.wPort = port;
  }
  void A(const wchar_t* name, BYTE a, BYTE b, BYTE c, BYTE d) {
    DNS_RECORDW& record = Add(DNS_TYPE_A, name);
    const BYTE bytes[4] = {a, b, c, d};
    std::memcpy(&record.Data.A.IpAddress, bytes, 4);
  }
  const DNS_RECORDW* Head() {
    for (std::size_t i = 0; i + 1 < records_.size(); ++i) {
      records_[i].pNext = &records_[i + 1];
    }
    return records_.empty() ? nullptr : &records_.front();
  }

 private:
  std::vector<DNS_RECORDW> records_;
};

TEST(DiscoveryUnderWineTest, WalksHandBuiltDnsRecordLists) {
  RecordList list;
  list.Add(DNS_TYPE_PTR, L"_veyra._tcp.local");
  list.Srv(L"Pixel \u00e9._veyra._tcp.local", L"Pixel-8.local", 47820);
  list.Srv(L"Tab._veyra._tcp.local", L"tab.local", 47821);
  list.A(L"pixel-8.LOCAL", 192, 168, 1, 20);
  list.Add(DNS_TYPE_AAAA, L"tab.local");
  list.Srv(nullptr, nullptr, 5);
  const auto receivers = ReceiversFromAnswer(AnswerFromDnsRecords(list.Head()));
  const std::vector<DiscoveredReceiver> expected{
      {"Pixel \xc3\xa9._veyra._tcp.local", "Pixel-8.local", "192.168.1.20", 47820},
      {"Tab._veyra._tcp.local", "tab.local", "", 47821},
      {"", "", "", 5}};
  EXPECT_EQ(receivers, expected);
  EXPECT_TRUE(AnswerFromDnsRecords(nullptr).empty());
}

TEST(DiscoveryUnderWineTest, UnusableDnsServiceBrowseWarnsAndGivesAnEmptyList) {
  // Wine's DnsServiceBrowse would abort the process: it must not be called.
  std::string log;
  {
    const RecordingLogSink sink(&log);
    EXPECT_TRUE(BrowseReceivers().empty());
  }
  EXPECT_THAT(log, ::testing::HasSubstr("WARN  DnsServiceBrowse unavailable (127); use --host to "
                                        "connect manually\n"));
}

}  // namespace
}  // namespace veyra

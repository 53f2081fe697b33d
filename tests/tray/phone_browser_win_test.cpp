// The shared DNS-SD glue as the tray uses it, under Wine.
#include "host/net/dns_sd_browser_win.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tray/phone_browser_win.h"

namespace veyra {
namespace {

TEST(PhoneBrowserUnderWine, WinesAbortingStubIsNeverCalled) {
  if (!RunningUnderWine()) {
    GTEST_SKIP() << "checks the behaviour under Wine";
  }
  EXPECT_FALSE(DnsServiceBrowser().Available());
  // Returns at once with nothing instead of aborting the process.
  EXPECT_TRUE(BrowsePhones().empty());
}

TEST(PhoneBrowserUnderWine, ReadsSrvAndAddressRecordsFromThePlatformList) {
  wchar_t instance[] = L"Living room phone._veyra._tcp.local";
  wchar_t target[] = L"Pixel-7.local";
  wchar_t host[] = L"pixel-7.LOCAL";
  DNS_RECORDW a{};
  a.pName = host;
  a.wType = DNS_TYPE_A;
  a.Data.A.IpAddress = htonl(0xC0A80114);  // 192.168.1.20
  DNS_RECORDW aaaa{};
  aaaa.pName = host;
  aaaa.wType = DNS_TYPE_AAAA;
  aaaa.pNext = &a;
  DNS_RECORDW srv{};
  srv.pName = instance;
  srv.wType = DNS_TYPE_SRV;
  srv.Data.SRV.pNameTarget = target;
  srv.Data.SRV.wPort = 47820;
  srv.pNext = &aaaa;
  DNS_RECORDW nameless{};
  nameless.wType = DNS_TYPE_SRV;
  nameless.pNext = &srv;

  const std::vector<DnsAnswerRecord> records = AnswerFromDnsRecords(&nameless);
  ASSERT_EQ(records.size(), 3u);  // the AAAA record is not needed
  EXPECT_FALSE(records[0].name.has_value());
  EXPECT_EQ(DottedIpv4(records[2].ipv4), "192.168.1.20");
  const std::vector<FoundPhone> expected = {{L"Living room phone", L"192.168.1.20", 47820}};
  EXPECT_EQ(PhonesInAnswer(records), expected);
}

TEST(PhoneBrowserUnderWine, CancellationCallbackReleasesThePlatformsReference) {
  auto pending = std::make_shared<DnsServiceBrowser::PendingBrowse>();
  pending->state = std::make_shared<DnsBrowseState>();
  const std::weak_ptr<DnsBrowseState> weak = pending->state;
  // What Start hands the platform as the request's context.
  auto reference = std::make_unique<DnsServiceBrowser::PlatformReference>(std::move(pending));
  DnsServiceBrowser::OnAnswer(ERROR_SUCCESS, reference.get(), nullptr);
  EXPECT_FALSE(weak.expired());
  DnsServiceBrowser::OnAnswer(ERROR_CANCELLED, reference.release(), nullptr);
  EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace veyra

#include "tray/phone_browser_win.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace veyra {
namespace {

TEST(PhoneBrowserUnderWine, WinesAbortingStubIsNeverCalled) {
  if (!RunningUnderWine()) {
    GTEST_SKIP() << "checks the behaviour under Wine";
  }
  EXPECT_FALSE(DnsPhoneBrowser().Available());
  // Returns at once with nothing instead of aborting the process.
  EXPECT_TRUE(BrowsePhones().empty());
}

TEST(PhoneBrowserUnderWine, ReadsSrvAndAddressRecordsFromThePlatformList) {
  wchar_t instance[] = L"Living room phone._veyra._tcp.local";
  wchar_t target[] = L"Pixel-7.local";
  wchar_t host[] = L"pixel-7.LOCAL";
  DNS_RECORD a{};
  a.pName = host;
  a.wType = DNS_TYPE_A;
  a.Data.A.IpAddress = htonl(0xC0A80114);  // 192.168.1.20
  DNS_RECORD aaaa{};
  aaaa.pName = host;
  aaaa.wType = DNS_TYPE_AAAA;
  aaaa.pNext = &a;
  DNS_RECORD srv{};
  srv.pName = instance;
  srv.wType = DNS_TYPE_SRV;
  srv.Data.SRV.pNameTarget = target;
  srv.Data.SRV.wPort = 47820;
  srv.pNext = &aaaa;
  DNS_RECORD nameless{};
  nameless.wType = DNS_TYPE_SRV;
  nameless.pNext = &srv;

  const std::vector<AnswerRecord> records = AnswerRecordsFrom(&nameless);
  ASSERT_EQ(records.size(), 3u);  // the AAAA record is not needed
  EXPECT_FALSE(records[0].ownerName.has_value());
  EXPECT_EQ(records[2].ipv4Text, L"192.168.1.20");
  const std::vector<FoundPhone> expected = {{L"Living room phone", L"192.168.1.20", 47820}};
  EXPECT_EQ(PhonesInAnswer(records), expected);
}

TEST(PhoneBrowserUnderWine, CancellationCallbackReleasesTheContext) {
  auto context = std::make_shared<PhoneBrowseContext>();
  const std::weak_ptr<PhoneBrowseContext> weak = context;
  context->HoldForCallbacks();
  context->MarkCancelRequested();
  PhoneBrowseContext* raw = context.get();
  context.reset();
  EXPECT_FALSE(weak.expired());
  BrowseCallback(ERROR_CANCELLED, raw, nullptr);
  EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace veyra

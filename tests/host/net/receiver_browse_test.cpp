#include "host/net/receiver_browse.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/base/recording_log_sink.h"
#include "host/net/fake_service_browser.h"

namespace veyra {

void PrintTo(const DiscoveredReceiver& r, std::ostream* os) {
  *os << "{" << r.instanceName << ", " << r.targetHost << ", " << r.address << ", " << r.port
      << "}";
}

namespace {

using ::testing::HasSubstr;

DnsAnswerRecord Srv(const std::string& name, const std::string& target, std::uint16_t port) {
  DnsAnswerRecord record;
  record.type = DnsAnswerRecord::kTypeSrv;
  record.name = name;
  record.srvTarget = target;
  record.srvPort = port;
  return record;
}

DnsAnswerRecord A(const std::string& name, std::array<std::uint8_t, 4> address) {
  DnsAnswerRecord record;
  record.type = DnsAnswerRecord::kTypeA;
  record.name = name;
  record.ipv4 = address;
  return record;
}

DnsAnswerRecord Other(std::uint16_t type, const std::string& name) {
  DnsAnswerRecord record;
  record.type = type;
  record.name = name;
  return record;
}

struct WalkCase {
  const char* name;
  std::vector<DnsAnswerRecord> records;
  std::vector<DiscoveredReceiver> expected;
};

class AnswerWalkTest : public ::testing::TestWithParam<WalkCase> {};

TEST_P(AnswerWalkTest, GivesOneEntryPerSrvRecord) {
  EXPECT_EQ(ReceiversFromAnswer(GetParam().records), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Records, AnswerWalkTest,
    ::testing::Values(
        WalkCase{
            "TwoReceiversInRecordOrder",
            {Other(12, "_veyra._tcp.local"), Srv("Pixel._veyra._tcp.local", "pixel.local", 47820),
             Srv("Tab._veyra._tcp.local", "tab.local", 47821), A("tab.local", {10, 0, 0, 7}),
             A("pixel.local", {192, 168, 1, 20})},
            {{"Pixel._veyra._tcp.local", "pixel.local", "192.168.1.20", 47820},
             {"Tab._veyra._tcp.local", "tab.local", "10.0.0.7", 47821}}},
        WalkCase{"ARecordNameDiffersInCase",
                 {Srv("P._veyra._tcp.local", "Android-7.local", 47820),
                  A("android-7.LOCAL", {172, 16, 0, 1})},
                 {{"P._veyra._tcp.local", "Android-7.local", "172.16.0.1", 47820}}},
        WalkCase{"ARecordBeforeTheSrvRecordAndTheFirstMatchWins",
                 {A("phone.local", {1, 2, 3, 4}), A("phone.local", {5, 6, 7, 8}),
                  Srv("P._veyra._tcp.local", "phone.local", 1)},
                 {{"P._veyra._tcp.local", "phone.local", "1.2.3.4", 1}}},
        WalkCase{"OnlyAnAaaaRecordLeavesTheAddressForResolution",
                 {Srv("P._veyra._tcp.local", "phone.local", 47820), Other(28, "phone.local")},
                 {{"P._veyra._tcp.local", "phone.local", "", 47820}}},
        WalkCase{"ARecordOfAnotherHostIsNotUsed",
                 {Srv("P._veyra._tcp.local", "phone.local", 47820), A("tv.local", {9, 9, 9, 9})},
                 {{"P._veyra._tcp.local", "phone.local", "", 47820}}},
        WalkCase{"NoSrvRecordNoEntry", {A("phone.local", {1, 1, 1, 1})}, {}},
        WalkCase{"EmptyAnswer", {}, {}}),
    [](const ::testing::TestParamInfo<WalkCase>& param) { return std::string(param.param.name); });

std::string FakeResolve(const std::string& host) {
  return host == "phone.local" ? "fe80::1" : std::string();
}

BrowseTiming Short() {
  BrowseTiming timing;
  timing.answerWait = std::chrono::milliseconds(3000);
  timing.finishWait = std::chrono::milliseconds(3000);
  return timing;
}

TEST(BrowseWithTest, UnavailableBrowseWarnsAndGivesNothing) {
  FakeServiceBrowser::Script script;
  script.startStatus = kBrowseUnavailable;
  FakeServiceBrowser browser(script);
  std::string log;
  {
    const RecordingLogSink sink(&log);
    EXPECT_TRUE(BrowseWith(browser, FakeResolve, Short()).empty());
  }
  EXPECT_THAT(log, HasSubstr("WARN  DnsServiceBrowse unavailable (127); use --host to connect "
                             "manually\n"));
}

TEST(BrowseWithTest, FirstAnswerEndsTheWaitAndMissingAddressesAreResolved) {
  FakeServiceBrowser::Script script;
  script.answerDelay = std::chrono::milliseconds(10);
  script.answers = {{0,
                     {Srv("P._veyra._tcp.local", "phone.local", 47820),
                      Srv("T._veyra._tcp.local", "tab.local", 47820), A("tab.local", {10, 0, 0, 2}),
                      Srv("X._veyra._tcp.local", "gone.local", 1)}}};
  script.cancelDelay = std::chrono::milliseconds(20);
  FakeServiceBrowser browser(script);
  const auto receivers = BrowseWith(browser, FakeResolve, Short());
  EXPECT_EQ(browser.serviceName(), "_veyra._tcp.local");
  const std::vector<DiscoveredReceiver> expected{
      {"P._veyra._tcp.local", "phone.local", "fe80::1", 47820},
      {"T._veyra._tcp.local", "tab.local", "10.0.0.2", 47820},
      {"X._veyra._tcp.local", "gone.local", "", 1}};
  EXPECT_EQ(receivers, expected);
}

TEST(BrowseWithTest, NoAnswerGivesAnEmptyListQuietly) {
  FakeServiceBrowser browser({});
  BrowseTiming timing;
  timing.answerWait = std::chrono::milliseconds(50);
  std::string log;
  {
    const RecordingLogSink sink(&log);
    EXPECT_TRUE(BrowseWith(browser, FakeResolve, timing).empty());
  }
  EXPECT_EQ(log, "");
}

TEST(BrowseWithTest, CallbacksAfterTheBrowseReturnedTouchOnlyLiveState) {
  FakeServiceBrowser::Script script;
  script.answers = {{0, {Srv("P._veyra._tcp.local", "phone.local", 47820)}}};
  // The platform confirms the cancel long after the browse stopped waiting.
  script.cancelDelay = std::chrono::milliseconds(200);
  FakeServiceBrowser browser(script);
  BrowseTiming timing;
  timing.finishWait = std::chrono::milliseconds(10);
  const auto receivers = BrowseWith(browser, FakeResolve, timing);
  ASSERT_EQ(receivers.size(), 1u);
  // The browser's destructor waits for its last callback, which runs on the
  // shared state the browse no longer holds (checked by the sanitizers).
}

}  // namespace
}  // namespace veyra

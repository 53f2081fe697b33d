#include "tray/phone_discovery.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "host/net/fake_service_browser.h"

namespace veyra {
namespace {

using std::chrono::milliseconds;

DnsAnswerRecord Srv(const std::string& instance, const std::string& target, std::uint16_t port) {
  DnsAnswerRecord record;
  record.type = DnsAnswerRecord::kTypeSrv;
  record.name = instance;
  record.srvTarget = target;
  record.srvPort = port;
  return record;
}

DnsAnswerRecord A(const std::string& host, std::array<std::uint8_t, 4> address) {
  DnsAnswerRecord record;
  record.type = DnsAnswerRecord::kTypeA;
  record.name = host;
  record.ipv4 = address;
  return record;
}

DnsAnswerRecord Aaaa(const std::string& host) {
  DnsAnswerRecord record;
  record.type = DnsAnswerRecord::kTypeAaaa;
  record.name = host;
  return record;
}

constexpr std::uint32_t kBrowseCancelled = status::kErrorCancelled;
// An answer that reports a failure (ERROR_TIMEOUT) rather than records.
constexpr std::uint32_t kFailedAnswer = status::kErrorTimeout;

TEST(PhonesInAnswerTest, ListsEverySrvRecordWithItsAddressInRecordOrder) {
  const std::vector<DnsAnswerRecord> answer = {
      Srv("Living room phone._veyra._tcp.local", "pixel-7.local", 47820),
      Srv("Kitchen tablet._veyra._tcp.local", "tab.local", 47821),
      A("TAB.local", {192, 168, 1, 31}),  // names compare without regard to case
      A("pixel-7.local", {192, 168, 1, 20}),
  };
  const std::vector<FoundPhone> expected = {{L"Living room phone", L"192.168.1.20", 47820},
                                            {L"Kitchen tablet", L"192.168.1.31", 47821}};
  EXPECT_EQ(PhonesInAnswer(answer), expected);
}

TEST(PhonesInAnswerTest, NameWithoutDotsIsUsedWhole) {
  const std::vector<DnsAnswerRecord> answer = {Srv("phone", "p.local", 1),
                                               A("p.local", {10, 0, 0, 2})};
  ASSERT_EQ(PhonesInAnswer(answer).size(), 1u);
  EXPECT_EQ(PhonesInAnswer(answer)[0].name, L"phone");
  EXPECT_EQ(InstanceLabel(L"a.b.c"), L"a");
  EXPECT_EQ(InstanceLabel(L""), L"");
}

TEST(PhonesInAnswerTest, AnswerWithoutAnAddressRecordIsDropped) {
  EXPECT_TRUE(PhonesInAnswer({}).empty());
  // Only an IPv6 record for the target: dropped, though the name might
  // resolve.
  EXPECT_TRUE(PhonesInAnswer(std::vector{Srv("x._veyra._tcp.local", "x.local", 1), Aaaa("x.local")})
                  .empty());
  // An A record for another host does not count.
  EXPECT_TRUE(PhonesInAnswer(std::vector{Srv("x._veyra._tcp.local", "x.local", 1),
                                         A("y.local", {10, 0, 0, 9})})
                  .empty());
}

TEST(PhonesInAnswerTest, OnlyTheFirstMatchingAddressRecordCounts) {
  const std::vector<DnsAnswerRecord> answer = {Srv("x._veyra._tcp.local", "x.local", 1),
                                               A("x.local", {10, 0, 0, 2}),
                                               A("x.local", {10, 0, 0, 3})};
  const std::vector<FoundPhone> expected = {{L"x", L"10.0.0.2", 1}};
  EXPECT_EQ(PhonesInAnswer(answer), expected);
}

TEST(PhonesInAnswerTest, RecordsWithoutOwnerNameAreSkipped) {
  DnsAnswerRecord srv = Srv("", "x.local", 1);
  srv.name.reset();
  DnsAnswerRecord a = A("", {10, 0, 0, 4});
  a.name.reset();
  EXPECT_TRUE(PhonesInAnswer(std::vector{srv, a, Srv("y", "", 2)}).empty());
}

TEST(PhonesInAnswerTest, InstanceNamesArrivingAsUtf8AreWidened) {
  const std::vector<DnsAnswerRecord> answer = {
      Srv("Caf\xc3\xa9 \xed\x8f\xb0._veyra._tcp.local", "c.local", 9), A("c.local", {10, 0, 0, 5})};
  const std::vector<FoundPhone> expected = {{L"Caf\u00e9 \ud3f0", L"10.0.0.5", 9}};
  EXPECT_EQ(PhonesInAnswer(answer), expected);
}

TEST(PhoneBrowseStateTest, KeepsOnePhonePerAddressFirstNameWins) {
  DnsBrowseState state;
  // One phone announcing itself twice, and a second instance on its
  // address in a later answer.
  const std::vector<DnsAnswerRecord> twice = {Srv("Pixel._veyra._tcp.local", "p.local", 47820),
                                              Srv("Pixel._veyra._tcp.local", "p.local", 47820),
                                              A("p.local", {192, 168, 1, 20})};
  const std::vector<DnsAnswerRecord> other = {Srv("Other._veyra._tcp.local", "p.local", 47999),
                                              A("p.local", {192, 168, 1, 20})};
  const std::vector<DnsAnswerRecord> tablet = {Srv("Tablet._veyra._tcp.local", "t.local", 47820),
                                               A("t.local", {192, 168, 1, 31})};
  const std::vector<DnsAnswerRecord> bad = {Srv("Bad._veyra._tcp.local", "b.local", 1),
                                            A("b.local", {192, 168, 1, 99})};
  state.OnAnswer(0, &twice);
  state.OnAnswer(0, &other);
  state.OnAnswer(0, &tablet);
  // An error answer is not read.
  state.OnAnswer(kFailedAnswer, &bad);
  const std::vector<FoundPhone> expected = {{L"Pixel", L"192.168.1.20", 47820},
                                            {L"Tablet", L"192.168.1.31", 47820}};
  EXPECT_EQ(PhonesFromServices(state.Services()), expected);
}

TEST(PhoneBrowseStateTest, AnyCallbackEndsTheFirstWait) {
  DnsBrowseState state;
  EXPECT_FALSE(state.WaitForAnswer(milliseconds(1)));
  state.OnAnswer(kFailedAnswer, nullptr);
  EXPECT_TRUE(state.WaitForAnswer(milliseconds(0)));
  // A cancelled status alone is not the end: the platform glue says so.
  state.OnAnswer(kBrowseCancelled, nullptr);
  EXPECT_FALSE(state.WaitFinished(milliseconds(0)));
}

// Short waits where the outcome does not depend on them.
constexpr PhoneBrowseTimings kQuick{milliseconds(5000), milliseconds(0), milliseconds(5000)};

TEST(RunPhoneBrowseTest, CollectsAnswersInOrderOfArrival) {
  FakeServiceBrowser::Script script;
  script.answers = {
      {0, {Srv("Pixel._veyra._tcp.local", "p.local", 47820), A("p.local", {192, 168, 1, 20})}},
      {0, {Srv("Tablet._veyra._tcp.local", "t.local", 47821), A("t.local", {192, 168, 1, 31})}},
  };
  FakeServiceBrowser browser(script);
  const std::vector<FoundPhone> expected = {{L"Pixel", L"192.168.1.20", 47820},
                                            {L"Tablet", L"192.168.1.31", 47821}};
  EXPECT_EQ(RunPhoneBrowse(browser, kQuick), expected);
  EXPECT_EQ(browser.serviceName(), "_veyra._tcp.local");
  EXPECT_EQ(browser.cancelCalls(), 1);
}

TEST(RunPhoneBrowseTest, NoAnswerGivesAnEmptyListAfterTheWait) {
  FakeServiceBrowser browser({});
  EXPECT_TRUE(
      RunPhoneBrowse(browser, {milliseconds(10), milliseconds(0), milliseconds(5000)}).empty());
  EXPECT_EQ(browser.cancelCalls(), 1);
}

TEST(RunPhoneBrowseTest, BrowseThatCannotStartGivesAnEmptyListAndFreesItsState) {
  FakeServiceBrowser::Script script;
  script.startStatus = kBrowseUnavailable;
  FakeServiceBrowser browser(script);
  EXPECT_TRUE(RunPhoneBrowse(browser, kQuick).empty());
  EXPECT_EQ(browser.cancelCalls(), 0);
  EXPECT_FALSE(browser.StateAlive());
}

TEST(RunPhoneBrowseTest, StateOutlivesTheSearchUntilTheFinalCallback) {
  FakeServiceBrowser::Script script;
  script.answers = {
      {0, {Srv("Pixel._veyra._tcp.local", "p.local", 47820), A("p.local", {192, 168, 1, 20})}}};
  FakeServiceBrowser browser(script);
  browser.CloseFinalCallbackGate();
  // The final callback is late: the search gives up waiting for it.
  const auto phones =
      RunPhoneBrowse(browser, {milliseconds(5000), milliseconds(0), milliseconds(1)});
  EXPECT_EQ(phones.size(), 1u);
  EXPECT_TRUE(browser.StateAlive());
  // The late callback meets a live state, and releases it.
  browser.JoinPlatformThread();
  EXPECT_FALSE(browser.StateAlive());
}

TEST(RunPhoneBrowseTest, StateIsKeptWhenTheCancelIsRefused) {
  FakeServiceBrowser::Script script;
  script.cancelAccepted = false;
  script.answers = {{kFailedAnswer, {}}};  // an error answer ends the first wait at once
  FakeServiceBrowser browser(script);
  EXPECT_TRUE(RunPhoneBrowse(browser, kQuick).empty());
  // Callbacks may still come: the platform keeps its reference.
  EXPECT_TRUE(browser.StateAlive());
}

}  // namespace
}  // namespace veyra

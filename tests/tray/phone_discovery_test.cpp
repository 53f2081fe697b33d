#include "tray/phone_discovery.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tray/fake_phone_browser.h"

namespace veyra {
namespace {

using std::chrono::milliseconds;

AnswerRecord Srv(const std::wstring& instance, const std::wstring& target, std::uint16_t port) {
  AnswerRecord record;
  record.type = kDnsTypeSrv;
  record.ownerName = instance;
  record.srvTarget = target;
  record.srvPort = port;
  return record;
}

AnswerRecord A(const std::wstring& host, const std::wstring& address) {
  AnswerRecord record;
  record.type = kDnsTypeA;
  record.ownerName = host;
  record.ipv4Text = address;
  return record;
}

AnswerRecord Aaaa(const std::wstring& host) {
  AnswerRecord record;
  record.type = 28;
  record.ownerName = host;
  return record;
}

TEST(PhonesInAnswerTest, ListsEverySrvRecordWithItsAddressInRecordOrder) {
  const std::vector<AnswerRecord> answer = {
      Srv(L"Living room phone._veyra._tcp.local", L"pixel-7.local", 47820),
      Srv(L"Kitchen tablet._veyra._tcp.local", L"tab.local", 47821),
      A(L"TAB.local", L"192.168.1.31"),  // names compare without regard to case
      A(L"pixel-7.local", L"192.168.1.20"),
  };
  const std::vector<FoundPhone> expected = {{L"Living room phone", L"192.168.1.20", 47820},
                                            {L"Kitchen tablet", L"192.168.1.31", 47821}};
  EXPECT_EQ(PhonesInAnswer(answer), expected);
}

TEST(PhonesInAnswerTest, NameWithoutDotsIsUsedWhole) {
  const std::vector<AnswerRecord> answer = {Srv(L"phone", L"p.local", 1),
                                            A(L"p.local", L"10.0.0.2")};
  ASSERT_EQ(PhonesInAnswer(answer).size(), 1u);
  EXPECT_EQ(PhonesInAnswer(answer)[0].name, L"phone");
  EXPECT_EQ(InstanceLabel(L"a.b.c"), L"a");
  EXPECT_EQ(InstanceLabel(L""), L"");
}

TEST(PhonesInAnswerTest, AnswerWithoutAnAddressRecordIsDropped) {
  EXPECT_TRUE(PhonesInAnswer({}).empty());
  // Only an IPv6 record for the target: dropped, though the name might
  // resolve.
  EXPECT_TRUE(
      PhonesInAnswer(std::vector{Srv(L"x._veyra._tcp.local", L"x.local", 1), Aaaa(L"x.local")})
          .empty());
  // An A record for another host does not count.
  EXPECT_TRUE(PhonesInAnswer(std::vector{Srv(L"x._veyra._tcp.local", L"x.local", 1),
                                         A(L"y.local", L"10.0.0.9")})
                  .empty());
}

TEST(PhonesInAnswerTest, OnlyTheFirstMatchingAddressRecordCounts) {
  // The first A record for the target could not be converted; the scan
  // stops there rather than taking the second.
  const std::vector<AnswerRecord> answer = {Srv(L"x._veyra._tcp.local", L"x.local", 1),
                                            A(L"x.local", L""), A(L"x.local", L"10.0.0.3")};
  EXPECT_TRUE(PhonesInAnswer(answer).empty());
}

TEST(PhonesInAnswerTest, RecordsWithoutOwnerNameAreSkipped) {
  AnswerRecord srv = Srv(L"", L"x.local", 1);
  srv.ownerName.reset();
  AnswerRecord a = A(L"", L"10.0.0.4");
  a.ownerName.reset();
  EXPECT_TRUE(PhonesInAnswer(std::vector{srv, a, Srv(L"y", L"", 2)}).empty());
}

TEST(PhoneBrowseContextTest, KeepsOnePhonePerAddressFirstNameWins) {
  const auto context = std::make_shared<PhoneBrowseContext>();
  // One phone announcing itself twice, and a second instance on its
  // address in a later answer.
  context->OnCallback(0, std::vector{Srv(L"Pixel._veyra._tcp.local", L"p.local", 47820),
                                     Srv(L"Pixel._veyra._tcp.local", L"p.local", 47820),
                                     A(L"p.local", L"192.168.1.20")});
  context->OnCallback(0, std::vector{Srv(L"Other._veyra._tcp.local", L"p.local", 47999),
                                     A(L"p.local", L"192.168.1.20")});
  context->OnCallback(0, std::vector{Srv(L"Tablet._veyra._tcp.local", L"t.local", 47820),
                                     A(L"t.local", L"192.168.1.31")});
  // An error answer is not read.
  context->OnCallback(1460, std::vector{Srv(L"Bad._veyra._tcp.local", L"b.local", 1),
                                        A(L"b.local", L"192.168.1.99")});
  const std::vector<FoundPhone> expected = {{L"Pixel", L"192.168.1.20", 47820},
                                            {L"Tablet", L"192.168.1.31", 47820}};
  EXPECT_EQ(context->Phones(), expected);
}

TEST(PhoneBrowseContextTest, AnyCallbackEndsTheFirstWait) {
  const auto context = std::make_shared<PhoneBrowseContext>();
  EXPECT_FALSE(context->WaitForCallback(milliseconds(1)));
  context->OnCallback(1460, {});
  EXPECT_TRUE(context->WaitForCallback(milliseconds(0)));
  // A cancelled status before any cancel was asked for is not the end.
  context->OnCallback(kBrowseCancelled, {});
  EXPECT_FALSE(context->WaitForFinalCallback(milliseconds(0)));
}

// Short waits where the outcome does not depend on them.
constexpr PhoneBrowseTimings kQuick{milliseconds(5000), milliseconds(0), milliseconds(5000)};

TEST(RunPhoneBrowseTest, CollectsAnswersInOrderOfArrival) {
  FakePhoneBrowser browser;
  browser.answers = {
      {0, {Srv(L"Pixel._veyra._tcp.local", L"p.local", 47820), A(L"p.local", L"192.168.1.20")}},
      {0, {Srv(L"Tablet._veyra._tcp.local", L"t.local", 47821), A(L"t.local", L"192.168.1.31")}},
  };
  const std::vector<FoundPhone> expected = {{L"Pixel", L"192.168.1.20", 47820},
                                            {L"Tablet", L"192.168.1.31", 47821}};
  EXPECT_EQ(RunPhoneBrowse(browser, kQuick), expected);
  EXPECT_EQ(browser.cancelCalls, 1);
}

TEST(RunPhoneBrowseTest, NoAnswerGivesAnEmptyListAfterTheWait) {
  FakePhoneBrowser browser;
  EXPECT_TRUE(
      RunPhoneBrowse(browser, {milliseconds(10), milliseconds(0), milliseconds(5000)}).empty());
  EXPECT_EQ(browser.cancelCalls, 1);
}

TEST(RunPhoneBrowseTest, BrowseThatCannotStartGivesAnEmptyListAndFreesItsContext) {
  FakePhoneBrowser browser;
  browser.startStatus = 127;  // ERROR_PROC_NOT_FOUND
  EXPECT_TRUE(RunPhoneBrowse(browser, kQuick).empty());
  EXPECT_EQ(browser.cancelCalls, 0);
  EXPECT_TRUE(browser.weakContext.expired());
}

TEST(RunPhoneBrowseTest, ContextOutlivesTheSearchUntilTheFinalCallback) {
  FakePhoneBrowser browser;
  browser.answers = {
      {0, {Srv(L"Pixel._veyra._tcp.local", L"p.local", 47820), A(L"p.local", L"192.168.1.20")}}};
  browser.CloseFinalCallbackGate();
  // The final callback is late: the search gives up waiting for it.
  const auto phones =
      RunPhoneBrowse(browser, {milliseconds(5000), milliseconds(0), milliseconds(1)});
  EXPECT_EQ(phones.size(), 1u);
  EXPECT_FALSE(browser.weakContext.expired());
  // The late callback meets a live context, and releases it.
  browser.JoinPlatformThreads();
  EXPECT_TRUE(browser.weakContext.expired());
}

TEST(RunPhoneBrowseTest, ContextIsKeptWhenTheCancelIsRefused) {
  FakePhoneBrowser browser;
  browser.cancelAccepted = false;
  browser.answers = {{1460, {}}};  // an error answer ends the first wait at once
  EXPECT_TRUE(RunPhoneBrowse(browser, kQuick).empty());
  // Callbacks may still come: the context stays for the life of the
  // process. Released here only so that the leak checker stays quiet.
  const std::shared_ptr<PhoneBrowseContext> context = browser.weakContext.lock();
  ASSERT_NE(context, nullptr);
  context->ReleaseHold();
}

}  // namespace
}  // namespace veyra

// Who may see this PC, over whole loopback sessions: a new phone waits for
// this PC's answer, refusals end the run, and only a paired phone or the
// one just approved skips the question.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/session/fake_receiver_approver.h"
#include "host/session/session.h"
#include "tests/host/session/session_harness.h"

namespace veyra {
namespace {

using testing_session::DesktopScript;
using testing_session::ErrorsWithCode;
using testing_session::HasKeyframe;
using testing_session::JsonOfType;
using testing_session::kPhoneKey;
using testing_session::RunSetup;
using testing_session::SessionRun;
using testing_session::Sync;

// Message types the receiver sees only once it may see this PC.
bool SentPicture(const std::vector<Packet>& packets) {
  return std::any_of(packets.begin(), packets.end(), [](const Packet& p) {
    const auto type = static_cast<MessageType>(p.header.type);
    return type == MessageType::kVideoConfig || type == MessageType::kVideoConfigData ||
           type == MessageType::kStreamStart || type == MessageType::kVideoFrame;
  });
}

std::string HelloAckToken(const std::vector<Packet>& packets) {
  const std::vector<JsonValue> acks = JsonOfType(packets, MessageType::kHelloAck);
  return acks.empty() ? std::string("(none)") : acks.back().ReadString("token", "(absent)");
}

// A new phone over TLS: while this PC's user thinks, pings go on and nothing
// else happens; the phone's own approval is kept; Yes starts the picture and
// stores the pairing; the phone then injects input.
TEST(SessionTrustTest, ANewPhoneWaitsForThisPcAndYesStartsAndPairs) {
  auto script = std::make_shared<DesktopScript>();
  script->deviceName = L"\\\\.\\DISPLAY2";
  SessionRun run(script, RunSetup{kPhoneKey, ""});
  run.approver_->answer.reset();
  run.Start();
  run.receiver_.Send(MessageType::kHello, R"({"deviceId":"phone-1"})");
  run.receiver_.Send(MessageType::kDeviceInfo, R"({"model":"Pixel 9"})");
  run.receiver_.SendTouch(0.5f, 0.5f, InputInjector::kTouchDown);
  // Nothing said before the Yes changes what comes after it.
  run.receiver_.Send(MessageType::kSetBitrate, R"({"bitrateBps":64000})");
  run.receiver_.Send(MessageType::kPairAccepted, R"({"token":"tok-new"})");
  Sync(run.receiver_, 1);
  ASSERT_TRUE(run.approver_->WaitAsked(1));
  {
    const std::lock_guard<std::mutex> lock(run.approver_->lock);
    const ApprovalQuestion& asked = run.approver_->asked[0];
    EXPECT_EQ(asked.phone, "phone-1");
    EXPECT_FALSE(asked.notThePairedPhone);
    EXPECT_FALSE(asked.differentDevice);
    EXPECT_EQ(asked.code, "ABCD-EF01-2345-6789");
    EXPECT_EQ(asked.address, "127.0.0.1:" + std::to_string(run.options_.port));
  }
  ASSERT_TRUE(run.receiver_.WaitFor(
      [](const std::vector<Packet>& p) { return !ErrorsWithCode(p, kErrorNoDisplay).empty(); }));
  Sync(run.receiver_, 3);
  std::vector<Packet> packets = run.receiver_.packets();
  EXPECT_FALSE(SentPicture(packets));
  EXPECT_EQ(HelloAckToken(packets), "");
  ASSERT_EQ(ErrorsWithCode(packets, kErrorNoDisplay).size(), 1u);
  EXPECT_EQ(ErrorsWithCode(packets, kErrorNoDisplay)[0].ReadString("message", ""),
            "waiting for approval on the PC");
  EXPECT_EQ(run.session_->state(), SessionState::kNegotiating);
  EXPECT_EQ(run.files_.files["pairing.json"].find("tok-new"), std::string::npos);

  run.approver_->Answer(ApprovalAnswer::kYes);
  ASSERT_TRUE(run.receiver_.WaitFor([](const std::vector<Packet>& p) { return HasKeyframe(p); }));
  EXPECT_EQ(
      JsonOfType(run.receiver_.packets(), MessageType::kVideoConfig)[0].ReadInt32("bitrateBps", 0),
      1000000);
  run.receiver_.SendTouch(0.5f, 0.5f, InputInjector::kTouchDown);
  Sync(run.receiver_, 2);
  run.Finish();
  const std::string stored = run.files_.files["pairing.json"];
  EXPECT_NE(stored.find(R"("phone-1":"tok-new")"), std::string::npos) << stored;
  EXPECT_NE(stored.find(R"("phone-1":"KEY-OF-PHONE-1")"), std::string::npos) << stored;
  // Only the touch after Yes (a move and a press), and the release of its
  // button when the session ended.
  EXPECT_EQ(run.mouse_.size(), 3u);
}

// Refusals: No, no answer in time, and a pinned id without TLS. Nothing is
// stored, nothing is shown, and Run ends without reconnecting.
TEST(SessionTrustTest, NoTimeoutAndAPinnedIdInPlaintextAreRefused) {
  struct Case {
    const char* name;
    RunSetup setup;
    std::optional<ApprovalAnswer> answer;
    std::int32_t result;
    const char* message;
  };
  const Case cases[] = {
      {"no",
       {kPhoneKey, ""},
       ApprovalAnswer::kNo,
       Session::kRefusedOnThisPc,
       "not allowed on this PC"},
      {"no answer",
       {kPhoneKey, "", 200000},
       std::nullopt,
       Session::kNoAnswerOnThisPc,
       "no answer on this PC"},
      {"pinned id in plaintext",
       {nullptr, testing_session::PairedStore()},
       ApprovalAnswer::kYes,
       0,
       "this device is paired over TLS only"},
  };
  for (const Case& c : cases) {
    SessionRun run(std::make_shared<DesktopScript>(), c.setup);
    run.approver_->answer = c.answer;
    run.Start();
    const std::string before = run.files_.files["pairing.json"];
    run.receiver_.Send(MessageType::kHello, R"({"deviceId":"phone-1"})");
    run.receiver_.Send(MessageType::kPairAccepted, R"({"token":"tok-new"})");
    run.receiver_.Send(MessageType::kDeviceInfo, "{}");
    ASSERT_TRUE(run.receiver_.WaitFor([](const std::vector<Packet>& p) {
      return !ErrorsWithCode(p, kErrorPermissionDenied).empty();
    })) << c.name;
    run.receiver_.Hangup();
    ASSERT_TRUE(run.WaitForRunEnd()) << c.name;
    EXPECT_EQ(run.result_, c.result) << c.name;
    const std::vector<Packet> packets = run.receiver_.packets();
    EXPECT_EQ(ErrorsWithCode(packets, kErrorPermissionDenied)[0].ReadString("message", ""),
              c.message);
    EXPECT_FALSE(SentPicture(packets)) << c.name;
    EXPECT_EQ(run.files_.files["pairing.json"], before) << c.name;
    EXPECT_EQ(run.LogCount("(reconnecting)"), 0u) << c.name;
    if (c.setup.tlsKey == nullptr) {
      // The paired phone's token never goes out in clear.
      EXPECT_EQ(HelloAckToken(packets), "(none)");
      EXPECT_EQ(run.approver_->AskedCount(), 0u);
    }
  }
}

// Who is asked: a paired phone not, until it is forgotten while the host
// runs; a plaintext phone, once it has said who it is (its name escaped); a
// token without a pin; a reconnection with the same key is not asked again,
// one with another key is, later and said to be another device.
TEST(SessionTrustTest, OnlyAPairedPhoneOrTheSameApprovedOneSkipsTheQuestion) {
  {
    SessionRun run;  // paired
    run.StartStreaming();
    EXPECT_EQ(run.approver_->AskedCount(), 0u);
    EXPECT_EQ(HelloAckToken(run.receiver_.packets()), "tok-1");
    // Forgotten by another program (--forget) while this host runs: its
    // next connection is asked about.
    run.files_.Put("pairing.json", R"({"hostId":"00","receivers":{},"pins":{}})");
    run.receiver_.Hangup();
    ASSERT_TRUE(run.receiver_.Accept());
    run.receiver_.Send(MessageType::kHello, R"({"deviceId":"phone-1"})");
    ASSERT_TRUE(run.approver_->WaitAsked(1)) << run.LogText();
  }
  {
    SessionRun run(std::make_shared<DesktopScript>(),
                   RunSetup{nullptr, R"({"hostId":"00","receivers":{"phone-1":"tok-1"}})"});
    run.Start();
    run.receiver_.Send(MessageType::kDeviceInfo,
                       "{\"model\":\"Galaxy\\nINFO  forged \\u009b2J\\u0085Code: ABCD-EF01\"}");
    Sync(run.receiver_, 5);
    EXPECT_EQ(run.approver_->AskedCount(), 0u) << "asked before the receiver said who it is";
    run.receiver_.Send(MessageType::kHello, R"({"deviceId":"phone-2"})");
    ASSERT_TRUE(run.receiver_.WaitFor([](const std::vector<Packet>& p) { return HasKeyframe(p); }));
    const std::lock_guard<std::mutex> lock(run.approver_->lock);
    ASSERT_EQ(run.approver_->asked.size(), 1u);
    EXPECT_EQ(run.approver_->asked[0].phone,
              "Galaxy\\x0aINFO  forged \\u009b2J\\u0085Code: ABCD\\x2dEF01");
    EXPECT_TRUE(run.approver_->asked[0].notThePairedPhone);
    EXPECT_EQ(run.approver_->asked[0].code, "");
    EXPECT_EQ(run.LogCount("\nINFO  forged"), 0u);
  }
  {
    SessionRun run(std::make_shared<DesktopScript>(),
                   RunSetup{kPhoneKey, R"({"hostId":"00","receivers":{"phone-1":"tok-1"}})"});
    run.StartStreaming();
    EXPECT_EQ(run.approver_->AskedCount(), 1u);
    EXPECT_EQ(HelloAckToken(run.receiver_.packets()), "");

    run.receiver_.Hangup();
    ASSERT_TRUE(run.receiver_.Accept());
    run.receiver_.Send(MessageType::kHello, R"({"deviceId":"phone-1"})");
    run.receiver_.Send(MessageType::kDeviceInfo, "{}");
    ASSERT_TRUE(run.WaitForLogCount("state DISPLAY_CREATING", 2)) << run.LogText();
    EXPECT_EQ(run.approver_->AskedCount(), 1u);

    run.tlsKey_->store("ANOTHER-KEY");
    run.receiver_.Hangup();
    ASSERT_TRUE(run.receiver_.Accept());
    run.receiver_.Send(MessageType::kHello, R"({"deviceId":"phone-1"})");
    ASSERT_TRUE(run.approver_->WaitAsked(2)) << run.LogText();
    const std::lock_guard<std::mutex> lock(run.approver_->lock);
    EXPECT_FALSE(run.approver_->asked[0].differentDevice);
    EXPECT_TRUE(run.approver_->asked[1].differentDevice);
  }
  {
    // A device id no store should hold.
    SessionRun run(std::make_shared<DesktopScript>(), RunSetup{kPhoneKey, ""});
    run.Start();
    run.receiver_.Send(MessageType::kHello, R"({"deviceId":")" + std::string(129, 'x') + "\"}");
    ASSERT_TRUE(run.receiver_.WaitFor([](const std::vector<Packet>& p) {
      return !ErrorsWithCode(p, kErrorPermissionDenied).empty();
    }));
    EXPECT_EQ(run.approver_->AskedCount(), 0u);
  }
}

}  // namespace
}  // namespace veyra

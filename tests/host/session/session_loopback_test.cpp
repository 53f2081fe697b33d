// Whole sessions against a receiver played by the test over a loopback
// socket: the real connection, pipeline and native encoder, with a scripted
// capture source standing in for the desktop.

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/base/status_codes.h"
#include "host/session/fake_receiver_approver.h"
#include "host/session/fake_send_gate.h"
#include "host/session/session.h"
#include "host/video/fake_encoder_backend.h"
#include "tests/host/session/session_harness.h"

namespace veyra {
namespace {

using std::chrono::milliseconds;
using testing_session::DesktopScript;
using testing_session::ErrorsWithCode;
using testing_session::HasKeyframe;
using testing_session::JsonOfType;
using testing_session::kPhoneKey;
using testing_session::RunSetup;
using testing_session::SessionRun;
using testing_session::Sync;
using testing_session::TestReceiver;

// A slot lock that is always free: the fake encoder below reads nothing.
class OpenLock final : public KeyedMutex {
 public:
  std::int32_t AcquireSync(std::uint64_t /*key*/, std::uint32_t /*timeoutMs*/) override {
    return status::kSOk;
  }
  std::int32_t ReleaseSync(std::uint64_t /*key*/) override { return status::kSOk; }
};

// A hardware encoder tells its sequence header only with its first
// keyframe, and may keep to another level than it was asked for: the
// receiver hears the stream's own level before its first picture.
TEST(SessionLoopbackTest, ALevelTheEncoderChoseIsAnnouncedBeforeTheFirstPicture) {
  auto record = std::make_shared<FakeTransformRecord>();
  // SPS (High, level_idc 51), PPS, IDR slice.
  record->outputPerInput = {0, 0, 0,    1,    0x67, 0x64, 0x00, 0x33, 0,   0,
                            0, 1, 0x68, 0xCE, 0,    0,    1,    0x65, 0x88};
  for (std::size_t slot = 0; slot < kNv12PoolSlots; ++slot) {
    record->surfaceLocks.push_back(std::make_shared<OpenLock>());
  }
  std::deque<std::shared_ptr<FakeTransformRecord>> records{record};
  RunSetup setup;
  setup.encoderBackend = [&records] { return std::make_unique<FakeEncoderBackend>(&records); };
  SessionRun run(std::make_shared<DesktopScript>(), setup);
  run.StartStreaming();

  std::vector<std::string> order;
  for (const Packet& packet : run.receiver_.packets()) {
    const auto type = static_cast<MessageType>(packet.header.type);
    if (type == MessageType::kVideoConfig) {
      order.push_back("config " + testing_session::JsonOf(packet).ReadString("level", ""));
    } else if (type == MessageType::kVideoConfigData) {
      order.emplace_back("data");
    } else if (type == MessageType::kVideoFrame) {
      order.emplace_back("frame");
      break;
    }
  }
  ASSERT_EQ(order.size(), 4u);
  EXPECT_NE(order[0], "config 5.1");  // what the size and rate need
  EXPECT_EQ(order[1], "config 5.1");
  EXPECT_EQ(order[2], "data");
  EXPECT_EQ(order[3], "frame");
  EXPECT_NE(run.LogText().find("the encoder chose level 5.1"), std::string::npos);
}

// Protected content blacked out in every picture is logged once and told
// to the receiver once.
TEST(SessionLoopbackTest, StreamsInOrderAndResendsAStillDesktopAsKeyframe) {
  SessionRun run;
  run.script_->protectedContent = true;
  run.StartStreaming();

  const std::vector<Packet> packets = run.receiver_.packets();
  std::vector<std::uint16_t> order;
  for (const Packet& packet : packets) {
    const auto type = static_cast<MessageType>(packet.header.type);
    if (type != MessageType::kPing && type != MessageType::kHostStats &&
        type != MessageType::kStreamKeepalive && type != MessageType::kError) {
      order.push_back(packet.header.type);
    }
  }
  ASSERT_GE(order.size(), 5u);
  EXPECT_EQ(order[0], static_cast<std::uint16_t>(MessageType::kHelloAck));
  EXPECT_EQ(order[1], static_cast<std::uint16_t>(MessageType::kVideoConfig));
  EXPECT_EQ(order[2], static_cast<std::uint16_t>(MessageType::kStreamStart));
  EXPECT_EQ(order[3], static_cast<std::uint16_t>(MessageType::kVideoConfigData));
  EXPECT_EQ(order[4], static_cast<std::uint16_t>(MessageType::kVideoFrame));
  const JsonValue config = JsonOfType(packets, MessageType::kVideoConfig).front();
  EXPECT_EQ(config.ReadInt32("width", 0), 320);
  EXPECT_EQ(config.ReadInt32("height", 0), 240);
  EXPECT_EQ(config.ReadInt32("bitrateBps", 0), 1000000);
  EXPECT_EQ(run.session_->state(), SessionState::kStreaming);

  // A desktop that stops changing: an IDR request re-sends the kept frame.
  {
    const std::lock_guard<std::mutex> lock(run.script_->lock);
    run.script_->still = true;
  }
  std::this_thread::sleep_for(milliseconds(300));
  const std::size_t before = run.receiver_.packets().size();
  run.receiver_.Send(MessageType::kRequestIdr, "");
  ASSERT_TRUE(
      run.receiver_.WaitFor([&](const std::vector<Packet>& p) { return HasKeyframe(p, before); }));
  EXPECT_TRUE(
      run.WaitForLog("desktop is still; re-sending the last frame as the requested keyframe"));
  EXPECT_EQ(TestReceiver::Count(run.receiver_.packets(), MessageType::kVideoConfigData), 1u);
  run.Finish();
  EXPECT_EQ(run.result_, 0);
  EXPECT_EQ(run.LogCount("WARN  Windows blacks out protected content on the captured monitor"), 1u);
  const std::vector<JsonValue> notices = ErrorsWithCode(run.receiver_.packets(), kErrorNoDisplay);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].ReadString("message", ""),
            "protected content on the PC's screen is shown black");
}

// The luma in the middle of each picture the receiver can decode from the
// video it got, in order.
std::vector<int> DecodedLumas(const std::vector<Packet>& packets) {
  struct Decoder {
    Decoder() = default;
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    ~Decoder() {
      av_frame_free(&picture);
      av_packet_free(&packet);
      avcodec_free_context(&context);
    }
    AVCodecContext* context = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264));
    AVPacket* packet = av_packet_alloc();
    AVFrame* picture = av_frame_alloc();
  } decoder;
  std::vector<int> lumas;
  decoder.context->thread_count = 1;
  if (avcodec_open2(decoder.context, nullptr, nullptr) != 0) {
    return lumas;
  }
  const auto drain = [&] {
    while (avcodec_receive_frame(decoder.context, decoder.picture) == 0) {
      const AVFrame& picture = *decoder.picture;
      lumas.push_back(
          picture.data[0][(picture.height / 2) * picture.linesize[0] + picture.width / 2]);
    }
  };
  for (const Packet& packet : packets) {
    const auto type = static_cast<MessageType>(packet.header.type);
    if ((type != MessageType::kVideoConfigData && type != MessageType::kVideoFrame) ||
        av_new_packet(decoder.packet, static_cast<int>(packet.payload.size())) != 0) {
      continue;
    }
    std::memcpy(decoder.packet->data, packet.payload.data(), packet.payload.size());
    avcodec_send_packet(decoder.context, decoder.packet);
    av_packet_unref(decoder.packet);
    drain();
  }
  avcodec_send_packet(decoder.context, nullptr);
  drain();
  return lumas;
}

// Whether a decoded |luma| is the grey |shade| of the desktop: limited-range
// luma, 16 + 219/255 of it, give or take the encoder's loss.
bool Shows(int luma, std::uint8_t shade) { return std::abs(luma - (16 + shade * 219 / 255)) < 16; }

// The window closes while the desktop changes, then the desktop goes still:
// when the window opens, the newest picture it held back must still go out,
// or the phone shows an old desktop until something moves.
TEST(SessionLoopbackTest, AStillDesktopSendsTheLastPictureTheClosedWindowHeldBack) {
  constexpr std::uint8_t kFirst = 40;
  constexpr std::uint8_t kBetween = 120;
  constexpr std::uint8_t kLast = 200;
  FakeSendGate gate;
  RunSetup setup;
  setup.sendGate = &gate;
  auto script = std::make_shared<DesktopScript>();
  script->shade = kFirst;
  SessionRun run(script, setup);
  run.StartStreaming();

  gate.SetOpen(false);
  // Each change is captured, and so held back, before the next one.
  ASSERT_TRUE(script->ChangeAndWait([](DesktopScript& desktop) { desktop.shade = kBetween; }));
  ASSERT_TRUE(script->ChangeAndWait([](DesktopScript& desktop) { desktop.shade = kLast; }));
  ASSERT_TRUE(script->ChangeAndWait([](DesktopScript& desktop) { desktop.still = true; }));
  gate.SetOpen(true);

  ASSERT_TRUE(run.receiver_.WaitFor([&](const std::vector<Packet>& packets) {
    const std::vector<int> lumas = DecodedLumas(packets);
    return !lumas.empty() && Shows(lumas.back(), kLast);
  }));
  EXPECT_TRUE(run.WaitForLog("desktop is still; re-sending the picture the link held back"));
  const std::vector<int> lumas = DecodedLumas(run.receiver_.packets());
  const auto showing = [&](std::uint8_t shade) {
    return static_cast<std::size_t>(
        std::count_if(lumas.begin(), lumas.end(), [&](int luma) { return Shows(luma, shade); }));
  };
  // The first desktop until the window closed, then the last one, once; the
  // one between never went out.
  ASSERT_GE(lumas.size(), 2u);
  EXPECT_TRUE(Shows(lumas.back(), kLast));
  EXPECT_EQ(showing(kFirst), lumas.size() - 1);
  EXPECT_EQ(showing(kLast), 1u);
}

TEST(SessionLoopbackTest, LockedDesktopIsRetriedForAReceiverWithoutScreenSize) {
  auto script = std::make_shared<DesktopScript>();
  script->openDenials = 1;
  SessionRun run(script);
  run.Start();
  // No screen size at all: still a receiver to build for once the desktop
  // is back; and a bit-rate change meanwhile races no pipeline start.
  run.receiver_.Send(MessageType::kHello, R"({"deviceId":"phone-1"})");
  run.receiver_.Send(MessageType::kDeviceInfo, "{}");
  run.receiver_.Send(MessageType::kSetBitrate, R"({"bitrateBps":4000000})");
  ASSERT_TRUE(run.receiver_.WaitForCount(MessageType::kVideoConfig, 1));

  const std::vector<Packet> packets = run.receiver_.packets();
  const std::vector<JsonValue> notices = ErrorsWithCode(packets, kErrorNoDisplay);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].ReadString("message", ""),
            "the PC is locked; the desktop will appear when it is unlocked");
  EXPECT_EQ(JsonOfType(packets, MessageType::kVideoConfig)[0].ReadInt32("bitrateBps", 0), 4000000);
  EXPECT_TRUE(run.WaitForLog("retrying capture start"));
  EXPECT_TRUE(run.WaitForLog("state DEGRADED -> DISPLAY_CREATING (starting capture)"));
  EXPECT_TRUE(run.WaitForLog("state DISPLAY_CREATING -> STREAMING (pipeline running)"));
}

TEST(SessionLoopbackTest, CaptureLossSizeChangeAndLostDevicesRebuildThePipeline) {
  SessionRun run;
  run.StartStreaming();

  {
    const std::lock_guard<std::mutex> lock(run.script_->lock);
    run.script_->nextFailure = status::kDxgiErrorAccessLost;
  }
  // The loop that gave up has returned but is still to be joined by the
  // rebuild.
  ASSERT_TRUE(run.receiver_.WaitForCount(MessageType::kVideoConfig, 2));
  EXPECT_TRUE(run.WaitForLog("capture lost; rebuilding the complete pipeline"));
  EXPECT_TRUE(run.WaitForLog("(display changed; rebuilding pipeline)"));

  {
    const std::lock_guard<std::mutex> lock(run.script_->lock);
    run.script_->width = 640;
    run.script_->height = 480;
  }
  ASSERT_TRUE(run.receiver_.WaitForCount(MessageType::kVideoConfig, 3));
  EXPECT_TRUE(run.WaitForLog("capture size changed 320x240 -> 640x480; rebuilding pipeline"));

  // A removed GPU: new devices first, then the pipeline on them, at once.
  {
    const std::lock_guard<std::mutex> lock(run.script_->lock);
    run.script_->nextFailure = status::kDxgiErrorDeviceRemoved;
  }
  ASSERT_TRUE(run.receiver_.WaitForCount(MessageType::kVideoConfig, 4));
  EXPECT_TRUE(
      run.WaitForLog("graphics device lost (the graphics device was removed or reset: "
                     "0x887A0005"));
  EXPECT_TRUE(run.WaitForLog("creating the graphics devices afresh"));
  EXPECT_TRUE(run.WaitForLog("graphics devices renewed on "));

  const std::vector<Packet> packets = run.receiver_.packets();
  const std::vector<JsonValue> configs = JsonOfType(packets, MessageType::kVideoConfig);
  EXPECT_EQ(configs[2].ReadInt32("width", 0), 640);
  const std::vector<JsonValue> notices = ErrorsWithCode(packets, kErrorNoDisplay);
  ASSERT_EQ(notices.size(), 3u);
  EXPECT_EQ(notices[0].ReadString("message", ""), "display changed or locked; recovering");
  EXPECT_EQ(notices[1].ReadString("message", ""), "display resolution changed; recovering");
  EXPECT_EQ(notices[2].ReadString("message", ""), "capture failed; recovering");
  EXPECT_TRUE(run.WaitForLogCount("capture loop started", 4));
}

TEST(SessionLoopbackTest, InputGoesToTheCapturedMonitorOnlyWhileStreaming) {
  auto script = std::make_shared<DesktopScript>();
  script->deviceName = L"\\\\.\\DISPLAY2";
  SessionRun run(script);
  run.Start();
  run.receiver_.SendTouch(0.5f, 0.5f, InputInjector::kTouchDown);  // negotiating: dropped
  run.receiver_.Send(MessageType::kHello, R"({"deviceId":"phone-2"})");
  run.receiver_.Send(MessageType::kDeviceInfo, "{}");
  ASSERT_TRUE(run.receiver_.WaitFor([](const std::vector<Packet>& p) { return HasKeyframe(p); }));
  run.receiver_.SendTouch(0.5f, 0.5f, InputInjector::kTouchDown);
  run.receiver_.SendTouch(0.5f, 0.5f, InputInjector::kTouchUp);
  const std::uint8_t shiftDown[kKeyPayloadBytes] = {0, 0, 0, 225, 0};
  run.receiver_.SendBinary(MessageType::kKey, shiftDown, sizeof shiftDown);
  Sync(run.receiver_, 77);
  // Shift stays down on the phone's side when the link drops; not here.
  run.receiver_.Hangup();
  ASSERT_TRUE(run.WaitForLog("receiver disconnected ("));
  run.Finish();

  ASSERT_EQ(run.keys_.size(), 2u) << run.LogText();
  EXPECT_EQ(run.keys_[1].virtualKey, run.keys_[0].virtualKey);
  EXPECT_EQ(run.keys_[1].flags & kKeyEventKeyUp, kKeyEventKeyUp);

  ASSERT_FALSE(run.mouse_.empty()) << run.LogText();
  for (const MouseInput& input : run.mouse_) {
    // The middle of the right-hand monitor of a 3840-pixel desktop.
    EXPECT_NEAR(input.dx, 49151, 40);
  }
  EXPECT_TRUE(std::any_of(run.mouse_.begin(), run.mouse_.end(), [](const MouseInput& input) {
    return (input.flags & kMouseEventLeftDown) != 0;
  }));
}

TEST(SessionLoopbackTest, ReconnectsAfterALossAndStopsDuringThePause) {
  SessionRun run;
  run.StartStreaming();
  run.receiver_.Hangup();
  ASSERT_TRUE(run.WaitForLog("receiver disconnected ("));
  ASSERT_TRUE(run.receiver_.Accept());
  ASSERT_TRUE(run.WaitForLogCount("state CONNECTING -> NEGOTIATING (waiting for HELLO)", 2))
      << run.LogText();
  EXPECT_EQ(run.LogCount("(reconnecting)"), 1u);

  run.receiver_.Hangup();
  ASSERT_TRUE(run.WaitForLog("state NEGOTIATING -> RECONNECTING")) << run.LogText();
  run.Finish();
  EXPECT_EQ(run.result_, 0);
  EXPECT_EQ(run.LogCount("receiver did not come back"), 0u);
  EXPECT_TRUE(run.WaitForLog("state STOPPING -> IDLE (run finished)"));
}

// The receiver refuses while this PC's question is still open: a Yes
// given afterwards starts nothing and stores nothing.
TEST(SessionLoopbackTest, NothingIsHandledBehindARefusal) {
  SessionRun run(std::make_shared<DesktopScript>(), RunSetup{kPhoneKey, ""});
  run.approver_->answer.reset();
  run.Start();
  run.receiver_.Send(MessageType::kHello, R"({"deviceId":"phone-1"})");
  run.receiver_.Send(MessageType::kPairAccepted, R"({"token":"tok-before"})");
  ASSERT_TRUE(run.approver_->WaitAsked(1));
  run.receiver_.Send(MessageType::kError,
                     R"({"code":"PERMISSION_DENIED","message":"user said no"})");
  run.receiver_.Send(MessageType::kPairAccepted, R"({"token":"stolen"})");
  run.receiver_.Send(MessageType::kDeviceInfo, "{}");
  ASSERT_TRUE(run.WaitForLog("ignoring DEVICE_INFO after a refusal"));
  run.approver_->Answer(ApprovalAnswer::kYes);
  EXPECT_TRUE(run.WaitForLog("the question to this PC's user was withdrawn"));
  run.receiver_.Hangup();
  // A refused session does not reconnect: Run ends by itself.
  ASSERT_TRUE(run.WaitForRunEnd());
  EXPECT_EQ(run.result_, 0);
  EXPECT_TRUE(
      run.WaitForLog("the device did not allow this computer (user said no). Tap Allow on the"));
  EXPECT_EQ(run.session_->pairingStore().TokenFor("phone-1"), "");
  EXPECT_EQ(run.LogCount("state DISPLAY_CREATING"), 0u);
  EXPECT_EQ(run.LogCount("(reconnecting)"), 0u);
}

TEST(SessionLoopbackTest, BadMessagesAreDroppedAndTheSessionGoesOn) {
  SessionRun run;
  run.StartStreaming();
  const std::uint8_t shortScroll[20] = {};
  run.receiver_.SendBinary(MessageType::kScroll, shortScroll, sizeof shortScroll);
  run.receiver_.Send(MessageType::kVisibility, "not json");
  run.receiver_.Send(MessageType::kDeviceInfo, "{\"widthPx\":");
  run.receiver_.SendBinary(static_cast<MessageType>(7), nullptr, 0);
  run.receiver_.SendBinary(static_cast<MessageType>(300), nullptr, 0);
  Sync(run.receiver_, 5);
  EXPECT_TRUE(run.WaitForLog("WARN  failed handling SCROLL: short SCROLL"));
  EXPECT_TRUE(run.WaitForLog("WARN  failed handling UNKNOWN: "));
  EXPECT_TRUE(run.WaitForLog("WARN  failed handling DEVICE_INFO: "));
  EXPECT_TRUE(run.WaitForLog("DEBUG ignoring STREAM_STOP"));
  EXPECT_TRUE(run.WaitForLog("DEBUG ignoring UNKNOWN"));
  EXPECT_EQ(run.session_->state(), SessionState::kStreaming);
}

}  // namespace
}  // namespace veyra

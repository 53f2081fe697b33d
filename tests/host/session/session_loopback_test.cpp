// Whole sessions against a receiver played by the test over a loopback
// socket: the real connection, pipeline and native encoder, with a scripted
// capture source standing in for the desktop.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/base/clock.h"
#include "host/base/log.h"
#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/input/fake_display_layout.h"
#include "host/input/fake_input_sink.h"
#include "host/pairing/fake_store_files.h"
#include "host/session/session.h"
#include "host/wire/binary_payloads.h"
#include "host/wire/json_value.h"
#include "tests/host/net/loopback_peer.h"

namespace veyra {
namespace {

using std::chrono::milliseconds;
using testing_net::LoopbackPeer;

constexpr milliseconds kWait{15000};

// What the test tells the scripted desktop to do; shared with the source
// the session's pipeline builds.
struct DesktopScript {
  std::mutex lock;
  int openDenials = 0;           // Open gives E_ACCESSDENIED this often first
  bool still = false;            // nothing changes: AcquireFrame gives 1
  std::int32_t nextFailure = 0;  // the next AcquireFrame fails with this once
  std::uint32_t width = 320;     // of the frames delivered
  std::uint32_t height = 240;
  std::wstring deviceName;  // the monitor the source mirrors
  int opens = 0;
};

class ScriptedSource final : public ICaptureSource {
 public:
  ScriptedSource(GraphicsContext& graphics, std::shared_ptr<DesktopScript> script)
      : graphics_(graphics), script_(std::move(script)) {}

  std::int32_t Open() override {
    const std::lock_guard<std::mutex> lock(script_->lock);
    ++script_->opens;
    if (script_->openDenials > 0) {
      --script_->openDenials;
      return status::kEAccessDenied;
    }
    width_ = script_->width;
    height_ = script_->height;
    deviceName_ = script_->deviceName;
    return status::kSOk;
  }
  void Close() override {}
  std::int32_t AcquireFrame(CapturedFrame* frame, std::uint32_t /*timeoutMs*/) override {
    std::this_thread::sleep_for(milliseconds(10));
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    {
      const std::lock_guard<std::mutex> lock(script_->lock);
      if (script_->nextFailure != 0) {
        const std::int32_t failure = script_->nextFailure;
        script_->nextFailure = 0;
        return failure;
      }
      if (script_->still) {
        return status::kSFalse;
      }
      width = script_->width;
      height = script_->height;
    }
    if (!texture_ || texture_.width != width || texture_.height != height) {
      texture_ = Texture{};
      if (graphics_.CreateTexture(width, height, PixelFormat::kBgra, &texture_) != 0) {
        return status::kEFail;
      }
    }
    frame->texture = texture_;
    frame->captureTimeUs = NowUs();
    frame->width = width;
    frame->height = height;
    return status::kSOk;
  }
  void ReleaseFrame() override {}
  std::uint32_t Width() const override { return width_; }
  std::uint32_t Height() const override { return height_; }
  const char* Name() const override { return "scripted"; }
  std::wstring OutputDeviceName() const override { return deviceName_; }

 private:
  GraphicsContext& graphics_;
  std::shared_ptr<DesktopScript> script_;
  Texture texture_;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::wstring deviceName_;
};

// The receiver's side: accepts the host, records every frame it sends on a
// reader thread, and sends what the test asks for.
class TestReceiver {
 public:
  ~TestReceiver() { Hangup(); }

  std::uint16_t port() const { return peer_.port(); }

  bool Accept() {
    if (!peer_.Accept()) {
      return false;
    }
    reader_ = std::thread([this] {
      while (std::optional<Packet> packet = peer_.ReadFrame()) {
        const std::lock_guard<std::mutex> lock(mutex_);
        packets_.push_back(std::move(*packet));
        changed_.notify_all();
      }
    });
    return true;
  }

  // Ends the connection from the receiver's side.
  void Hangup() {
    if (reader_.joinable()) {
      ShutdownSocket(peer_.socket());
      reader_.join();
      peer_.Close();
    }
  }

  void Send(MessageType type, const std::string& json) {
    peer_.Write(EncodeFrame(counters_, type, Channel::kControl, FrameFlags::kNone, 0, 0, json));
  }
  void SendBinary(MessageType type, const std::uint8_t* data, std::size_t size) {
    peer_.Write(
        EncodeFrame(counters_, type, Channel::kControl, FrameFlags::kNone, 0, 0, data, size));
  }
  void SendTouch(float x, float y, std::uint8_t action) {
    std::uint8_t payload[kTouchPayloadBytes] = {};
    payload[0] = action;
    const auto put = [&](std::size_t at, float value) {
      std::uint32_t bits = 0;
      static_assert(sizeof bits == sizeof value);
      std::memcpy(&bits, &value, sizeof bits);
      for (int i = 0; i < 4; ++i) {
        payload[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(bits >> (24 - 8 * i));
      }
    };
    put(4, x);
    put(8, y);
    SendBinary(MessageType::kTouch, payload, sizeof payload);
  }

  // Waits until |done| holds for the frames received so far.
  bool WaitFor(const std::function<bool(const std::vector<Packet>&)>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] { return done(packets_); });
  }
  bool WaitForCount(MessageType type, std::size_t count) {
    return WaitFor(
        [&](const std::vector<Packet>& packets) { return Count(packets, type) >= count; });
  }
  std::vector<Packet> packets() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
  }

  static std::size_t Count(const std::vector<Packet>& packets, MessageType type) {
    std::size_t count = 0;
    for (const Packet& packet : packets) {
      count += packet.header.type == static_cast<std::uint16_t>(type) ? 1 : 0;
    }
    return count;
  }

 private:
  LoopbackPeer peer_;
  SequenceCounters counters_;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Packet> packets_;
};

JsonValue JsonOf(const Packet& packet) {
  return Parse(std::string_view(reinterpret_cast<const char*>(packet.payload.data()),
                                packet.payload.size()));
}

std::vector<JsonValue> JsonOfType(const std::vector<Packet>& packets, MessageType type) {
  std::vector<JsonValue> found;
  for (const Packet& packet : packets) {
    if (packet.header.type == static_cast<std::uint16_t>(type)) {
      found.push_back(JsonOf(packet));
    }
  }
  return found;
}

bool HasKeyframe(const std::vector<Packet>& packets, std::size_t from = 0) {
  for (std::size_t i = from; i < packets.size(); ++i) {
    if (packets[i].header.type == static_cast<std::uint16_t>(MessageType::kVideoFrame) &&
        (packets[i].header.flags & FrameFlags::kKeyframe) != 0) {
      return true;
    }
  }
  return false;
}

// One session running on its own thread against a TestReceiver.
class SessionRun {
 public:
  explicit SessionRun(std::shared_ptr<DesktopScript> script = std::make_shared<DesktopScript>())
      : script_(std::move(script)), sink_(&log_) {
    SetLogThreshold(LogLevel::Debug);
    SessionParts parts;
    parts.makeSource = [script = script_](GraphicsContext& graphics, const Options&) {
      return std::make_unique<ScriptedSource>(graphics, script);
    };
    auto layout = std::make_unique<FakeDisplayLayout>();
    layout->SetMonitors({{L"\\\\.\\DISPLAY1", DesktopRect{0, 0, 1920, 1080}},
                         {L"\\\\.\\DISPLAY2", DesktopRect{1920, 0, 3840, 1080}}});
    layout->SetVirtualDesktop(VirtualDesktop{0, 0, 3840, 1080});
    parts.displayLayout = std::move(layout);
    parts.inputSink = std::make_unique<FakeInputSink>(&mouse_, &keys_);
    parts.pairingPath = "pairing.json";
    parts.storeFiles = &files_;
    session_ = std::make_unique<Session>(std::move(parts));

    options_.host = "127.0.0.1";
    options_.port = receiver_.port();
    options_.useTls = false;
    options_.fps = 30;
    options_.bitrate = 1000000;
  }
  ~SessionRun() {
    Finish();
    SetLogThreshold(LogLevel::Info);
  }

  void Start() {
    runner_ = std::thread([this] {
      result_ = session_->Run(options_);
      ended_ = true;
    });
    ASSERT_TRUE(receiver_.Accept());
  }
  // Stops the session, waits for Run, destroys the session.
  void Finish() {
    if (runner_.joinable()) {
      session_->Stop();
      runner_.join();
    }
    session_.reset();
  }
  // Waits for Run to return by itself.
  bool WaitForRunEnd() {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (!ended_.load() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(20));
    }
    return ended_.load();
  }
  bool WaitForLog(const std::string& text) const {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < deadline) {
      if (sink_.Text().find(text) != std::string::npos) {
        return true;
      }
      std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
  }
  bool WaitForLogCount(const std::string& text, std::size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (LogCount(text) < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(20));
    }
    return LogCount(text) >= count;
  }
  std::string LogText() const { return sink_.Text(); }
  std::size_t LogCount(const std::string& text) const {
    const std::string log = sink_.Text();
    std::size_t count = 0;
    for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
      ++count;
    }
    return count;
  }

  // HELLO and DEVICE_INFO, then the first keyframe.
  void StartStreaming(const std::string& deviceInfo = R"({"widthPx":2208,"heightPx":1768})") {
    Start();
    receiver_.Send(MessageType::kHello, R"({"protocolVersion":1,"deviceId":"phone-1"})");
    receiver_.Send(MessageType::kDeviceInfo, deviceInfo);
    ASSERT_TRUE(receiver_.WaitFor([](const std::vector<Packet>& p) { return HasKeyframe(p); }));
  }

  Options options_;
  std::shared_ptr<DesktopScript> script_;
  TestReceiver receiver_;
  FakeStoreFiles files_;
  std::vector<MouseInput> mouse_;  // read only after Finish
  std::vector<KeyboardInput> keys_;
  std::unique_ptr<Session> session_;
  std::int32_t result_ = 1;

 private:
  std::string log_;
  RecordingLogSink sink_;
  std::thread runner_;
  std::atomic<bool> ended_{false};
};

TEST(SessionLoopbackTest, StreamsInOrderAndResendsAStillDesktopAsKeyframe) {
  SessionRun run;
  run.StartStreaming();

  const std::vector<Packet> packets = run.receiver_.packets();
  std::vector<std::uint16_t> order;
  for (const Packet& packet : packets) {
    const auto type = static_cast<MessageType>(packet.header.type);
    if (type != MessageType::kPing && type != MessageType::kHostStats &&
        type != MessageType::kStreamKeepalive) {
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
}

std::vector<JsonValue> ErrorsWithCode(const std::vector<Packet>& packets, const char* code) {
  std::vector<JsonValue> found;
  for (JsonValue& error : JsonOfType(packets, MessageType::kError)) {
    if (error.ReadString("code", "") == code) {
      found.push_back(std::move(error));
    }
  }
  return found;
}

// Sends a PING and waits for its PONG: everything sent before it has been
// handled by then, since the host handles frames in order.
void Sync(TestReceiver& receiver, std::uint64_t pingId) {
  const auto payload = EncodePing(PingPayload{pingId, 1, 0});
  receiver.SendBinary(MessageType::kPing, payload.data(), payload.size());
  ASSERT_TRUE(receiver.WaitFor([&](const std::vector<Packet>& packets) {
    for (const Packet& packet : packets) {
      if (packet.header.type == static_cast<std::uint16_t>(MessageType::kPong) &&
          DecodePing(packet.payload.data(), packet.payload.size()).pingId == pingId) {
        return true;
      }
    }
    return false;
  }));
}

TEST(SessionLoopbackTest, LockedDesktopIsRetriedForAReceiverWithoutScreenSize) {
  auto script = std::make_shared<DesktopScript>();
  script->openDenials = 1;
  SessionRun run(script);
  run.Start();
  // No screen size at all: still a receiver to build for once the desktop
  // is back; and a bit-rate change meanwhile races no pipeline start.
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

TEST(SessionLoopbackTest, CaptureLossAndSizeChangeRebuildThePipeline) {
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

  const std::vector<Packet> packets = run.receiver_.packets();
  const std::vector<JsonValue> configs = JsonOfType(packets, MessageType::kVideoConfig);
  EXPECT_EQ(configs[2].ReadInt32("width", 0), 640);
  const std::vector<JsonValue> notices = ErrorsWithCode(packets, kErrorNoDisplay);
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0].ReadString("message", ""), "display changed or locked; recovering");
  EXPECT_EQ(notices[1].ReadString("message", ""), "display resolution changed; recovering");
  EXPECT_TRUE(run.WaitForLogCount("capture loop started", 3));
}

TEST(SessionLoopbackTest, InputGoesToTheCapturedMonitorOnlyWhileStreaming) {
  auto script = std::make_shared<DesktopScript>();
  script->deviceName = L"\\\\.\\DISPLAY2";
  SessionRun run(script);
  run.Start();
  run.receiver_.SendTouch(0.5f, 0.5f, InputInjector::kTouchDown);  // negotiating: dropped
  run.receiver_.Send(MessageType::kDeviceInfo, "{}");
  ASSERT_TRUE(run.receiver_.WaitFor([](const std::vector<Packet>& p) { return HasKeyframe(p); }));
  run.receiver_.SendTouch(0.5f, 0.5f, InputInjector::kTouchDown);
  run.receiver_.SendTouch(0.5f, 0.5f, InputInjector::kTouchUp);
  Sync(run.receiver_, 77);
  run.Finish();

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

TEST(SessionLoopbackTest, NothingIsHandledBehindARefusal) {
  SessionRun run;
  run.Start();
  run.receiver_.Send(MessageType::kHello, R"({"deviceId":"phone-1"})");
  run.receiver_.Send(MessageType::kError,
                     R"({"code":"PERMISSION_DENIED","message":"user said no"})");
  run.receiver_.Send(MessageType::kPairAccepted, R"({"token":"stolen"})");
  run.receiver_.Send(MessageType::kDeviceInfo, "{}");
  ASSERT_TRUE(run.WaitForLog("ignoring DEVICE_INFO after a refusal"));
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

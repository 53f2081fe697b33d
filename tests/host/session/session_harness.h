#pragma once
// Whole sessions against a receiver played by the test over a loopback
// socket: a scripted capture source standing in for the desktop, the
// receiver's side with a reader thread, and one session running on its own
// thread with fake input and pairing files.

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
#include "host/net/plain_transport.h"
#include "host/net/secure_channel.h"
#include "host/pairing/fake_store_files.h"
#include "host/session/fake_receiver_approver.h"
#include "host/session/fake_send_gate.h"
#include "host/session/session.h"
#include "host/video/encoder_backend.h"
#include "host/wire/binary_payloads.h"
#include "host/wire/json_value.h"
#include "tests/host/net/loopback_peer.h"

namespace veyra::testing_session {

using std::chrono::milliseconds;
using testing_net::LoopbackPeer;

inline constexpr milliseconds kWait{15000};

// What the test tells the scripted desktop to do; shared with the source
// the session's pipeline builds.
struct DesktopScript {
  std::mutex lock;
  int openDenials = 0;           // Open gives E_ACCESSDENIED this often first
  bool still = false;            // nothing changes: AcquireFrame gives 1
  std::int32_t nextFailure = 0;  // the next AcquireFrame fails with this once
  std::uint32_t width = 320;     // of the frames delivered
  std::uint32_t height = 240;
  std::uint8_t shade = 0;         // every pixel's blue, green and red
  bool protectedContent = false;  // frames say protected content is blacked out
  std::wstring deviceName;        // the monitor the source mirrors
  int opens = 0;
  int acquires = 0;  // AcquireFrame calls so far
  std::condition_variable acquired;

  // Applies |change| to the script and waits until a capture has seen it.
  template <typename Change>
  bool ChangeAndWait(Change change) {
    std::unique_lock<std::mutex> guard(lock);
    change(*this);
    const int seen = acquires + 1;
    return acquired.wait_for(guard, kWait, [&] { return acquires >= seen; });
  }
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
    std::uint8_t shade = 0;
    bool protectedContent = false;
    {
      const std::lock_guard<std::mutex> lock(script_->lock);
      ++script_->acquires;
      script_->acquired.notify_all();
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
      shade = script_->shade;
      protectedContent = script_->protectedContent;
    }
    if (!texture_ || texture_.width != width || texture_.height != height) {
      texture_ = Texture{};
      if (graphics_.CreateTexture(width, height, PixelFormat::kBgra, &texture_) != 0) {
        return status::kEFail;
      }
      painted_ = 0;
    }
    if (shade != painted_) {
      const std::vector<std::uint32_t> pixels(std::size_t{width} * height,
                                              0xFF000000u | 0x010101u * shade);
      if (graphics_.WritePixels(texture_, 0, width, height, pixels.data(), width * 4) != 0) {
        return status::kEFail;
      }
      painted_ = shade;
    }
    frame->texture = texture_;
    frame->captureTimeUs = NowUs();
    frame->width = width;
    frame->height = height;
    frame->protectedContentMasked = protectedContent;
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
  std::uint8_t painted_ = 0;  // the shade texture_ holds
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

inline JsonValue JsonOf(const Packet& packet) {
  return Parse(std::string_view(reinterpret_cast<const char*>(packet.payload.data()),
                                packet.payload.size()));
}

inline std::vector<JsonValue> JsonOfType(const std::vector<Packet>& packets, MessageType type) {
  std::vector<JsonValue> found;
  for (const Packet& packet : packets) {
    if (packet.header.type == static_cast<std::uint16_t>(type)) {
      found.push_back(JsonOf(packet));
    }
  }
  return found;
}

inline bool HasKeyframe(const std::vector<Packet>& packets, std::size_t from = 0) {
  for (std::size_t i = from; i < packets.size(); ++i) {
    if (packets[i].header.type == static_cast<std::uint16_t>(MessageType::kVideoFrame) &&
        (packets[i].header.flags & FrameFlags::kKeyframe) != 0) {
      return true;
    }
  }
  return false;
}

// TLS as far as the session can tell: a fixed key fingerprint and code over
// the plain byte stream, so that trust decisions run against a loopback
// receiver without certificates.
class KeyedPlainChannel final : public SecureChannel {
 public:
  explicit KeyedPlainChannel(const char* key) : key_(key) {}
  std::int32_t Handshake(SocketHandle socket, const std::string& /*targetHost*/) override {
    plain_ = std::make_unique<PlainTransport>(socket, keepGoing_);
    return 0;
  }
  bool Send(const std::uint8_t* data, std::size_t length, std::string& failure) override {
    return plain_->Send(data, length, failure);
  }
  long Receive(std::vector<std::uint8_t>& out, std::string& failure) override {
    return plain_->Receive(out, failure);
  }
  std::string PeerKeyHash() const override { return key_; }
  std::string PeerShortCode() const override { return "ABCD-EF01-2345-6789"; }
  std::string ProtocolName() const override { return "TLS1.3"; }
  void Teardown() override { keepGoing_ = false; }

 private:
  std::string key_;
  std::atomic<bool> keepGoing_{true};
  std::unique_ptr<PlainTransport> plain_;
};

inline constexpr const char* kPhoneKey = "KEY-OF-PHONE-1";

// A store in which "phone-1" is paired: its key pinned, its token "tok-1".
inline std::string PairedStore() {
  return R"({"hostId":"0123456789abcdef0123456789abcdef","hostName":"PC",)"
         R"("receivers":{"phone-1":"tok-1"},"pins":{"phone-1":"KEY-OF-PHONE-1"}})";
}

// Who the receiver is to the session: by default the paired "phone-1" over
// (stand-in) TLS, which streams without asking.
struct RunSetup {
  // The key the connection proves; nullptr: plaintext.
  const char* tlsKey = kPhoneKey;
  // pairing.json as the session finds it; empty: none yet.
  std::string store = PairedStore();
  // 0: the session's own.
  std::uint64_t approvalTimeoutUs = 0;
  // Stands in for the send window and outlives the run; nullptr: the
  // session's own.
  SendGate* sendGate = nullptr;
  // Makes the encoder's back end; empty: the native one.
  std::function<std::unique_ptr<EncoderBackend>()> encoderBackend = nullptr;
};

// How long a question about another device waits here: long enough to be
// seen in order, short enough not to slow the tests.
inline constexpr std::uint64_t kTestDifferentDeviceDelayUs = 200000;

// One session running on its own thread against a TestReceiver.
class SessionRun {
 public:
  explicit SessionRun(std::shared_ptr<DesktopScript> script = std::make_shared<DesktopScript>(),
                      const RunSetup& setup = {})
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
    parts.approver = std::make_unique<FakeReceiverApprover>(approver_);
    parts.approvalTimeoutUs = setup.approvalTimeoutUs;
    parts.differentDeviceDelayUs = kTestDifferentDeviceDelayUs;
    parts.sendGate = setup.sendGate;
    if (setup.encoderBackend) parts.encoderBackend = setup.encoderBackend();
    if (setup.tlsKey != nullptr) {
      tlsKey_->store(setup.tlsKey);
      parts.tlsFactory = [key = tlsKey_] { return std::make_unique<KeyedPlainChannel>(*key); };
    }
    if (!setup.store.empty()) {
      files_.files["pairing.json"] = setup.store;
    }
    session_ = std::make_unique<Session>(std::move(parts));

    options_.host = "127.0.0.1";
    options_.port = receiver_.port();
    options_.useTls = setup.tlsKey != nullptr;
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
  // The key the next connection proves (a string literal).
  std::shared_ptr<std::atomic<const char*>> tlsKey_ =
      std::make_shared<std::atomic<const char*>>(nullptr);
  std::shared_ptr<DesktopScript> script_;
  std::shared_ptr<ApproverScript> approver_ = std::make_shared<ApproverScript>();
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

inline std::vector<JsonValue> ErrorsWithCode(const std::vector<Packet>& packets, const char* code) {
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
inline void Sync(TestReceiver& receiver, std::uint64_t pingId) {
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

}  // namespace veyra::testing_session

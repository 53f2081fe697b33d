#include "host/session/session.h"

#include <chrono>
#include <optional>
#include <utility>

#include "host/base/clock.h"
#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/peer_text.h"
#include "host/base/status_codes.h"
#include "host/capture/desktop_duplication_source.h"
#include "host/capture/noise_source.h"
#include "host/capture/synthetic_source.h"
#include "host/input/system_input.h"
#include "host/net/secure_channel.h"
#include "host/session/session_platform.h"
#include "host/wire/binary_payloads.h"
#include "host/wire/json_value.h"

namespace veyra {
namespace {

constexpr std::uint32_t kSyntheticDefaultWidth = 1920;
constexpr std::uint32_t kSyntheticDefaultHeight = 1200;
constexpr std::uint32_t kSyntheticDefaultFps = 60;

ColorConverter MakeConverter(std::unique_ptr<ConversionEngine> engine) {
  if (engine) {
    return ColorConverter(std::move(engine));
  }
  return ColorConverter();
}

VideoEncoder MakeEncoder(std::unique_ptr<EncoderBackend> backend) {
  if (backend) {
    return VideoEncoder(std::move(backend));
  }
  return VideoEncoder();
}

Connection::TlsFactory TlsOrPlatform(Connection::TlsFactory factory) {
  return factory ? std::move(factory) : Connection::TlsFactory(CreatePlatformTlsChannel);
}

std::unique_ptr<DisplayLayout> LayoutOrSystem(std::unique_ptr<DisplayLayout> layout) {
  return layout ? std::move(layout) : CreateSystemDisplayLayout();
}

std::unique_ptr<InputSink> SinkOrSystem(std::unique_ptr<InputSink> sink) {
  return sink ? std::move(sink) : CreateSystemInputSink();
}

std::unique_ptr<ReceiverApprover> ApproverOrSystem(std::unique_ptr<ReceiverApprover> approver) {
  return approver ? std::move(approver) : CreateSystemApprover();
}

}  // namespace

std::unique_ptr<ICaptureSource> MakeCaptureSource(GraphicsContext& graphics,
                                                  const Options& options) {
  if (options.source == "synthetic" || options.source == "noise") {
    const std::uint32_t width = options.width != 0 ? options.width : kSyntheticDefaultWidth;
    const std::uint32_t height = options.height != 0 ? options.height : kSyntheticDefaultHeight;
    const std::uint32_t fps =
        options.fps > 0 ? static_cast<std::uint32_t>(options.fps) : kSyntheticDefaultFps;
    if (options.source == "noise") {
      return std::make_unique<NoiseSource>(graphics, width, height, fps);
    }
    return std::make_unique<SyntheticSource>(graphics, width, height, fps);
  }
  return std::make_unique<DesktopDuplicationSource>(
      graphics, static_cast<std::uint32_t>(options.outputIndex));
}

Session::Session(SessionParts parts)
    : makeSource_(parts.makeSource ? std::move(parts.makeSource) : MakeCaptureSource),
      browsers_(parts.browsers),
      onPhase_(std::move(parts.onPhase)),
      converter_(MakeConverter(std::move(parts.conversionEngine))),
      encoder_(MakeEncoder(std::move(parts.encoderBackend))),
      connection_(TlsOrPlatform(std::move(parts.tlsFactory))),
      input_(LayoutOrSystem(std::move(parts.displayLayout)),
             SinkOrSystem(std::move(parts.inputSink))),
      sendGate_(parts.sendGate != nullptr ? parts.sendGate : &sendWindow_),
      pairingStore_(std::move(parts.pairingPath),
                    parts.storeFiles != nullptr ? *parts.storeFiles : PlatformStoreFiles()),
      approver_(ApproverOrSystem(std::move(parts.approver))),
      prompt_(*approver_),
      approvalTimeoutUs_(parts.approvalTimeoutUs != 0 ? parts.approvalTimeoutUs
                                                      : kApprovalTimeoutUs),
      differentDeviceDelayUs_(parts.differentDeviceDelayUs != 0 ? parts.differentDeviceDelayUs
                                                                : kDifferentDeviceDelayUs) {}

Session::~Session() { Stop(); }

void Session::SetState(SessionState next, std::string_view reason) {
  // Input is let through only while streaming. Resumed before the state
  // says so; suspended (everything held released) once it no longer does,
  // so a press that passed the state check just before cannot stay held.
  if (next == SessionState::kStreaming && options_.injectInput && visible_.load()) {
    input_.Resume();
  }
  const SessionState previous = state_.exchange(next);
  if (next != SessionState::kStreaming && options_.injectInput) {
    input_.Suspend();
  }
  if (previous != next) {
    const std::string why(reason);
    Log(LogLevel::Info, "state %s -> %s (%s)", SessionStateName(previous), SessionStateName(next),
        why.c_str());
  }
}

void Session::ReportPhase(ServePhase phase) {
  if (!onPhase_) {
    return;
  }
  std::string phone;
  if (phase != ServePhase::kWaiting) {
    const std::lock_guard<std::mutex> lock(deviceInfoLock_);
    if (deviceInfoReceived_ && !deviceInfo_.model.empty()) {
      phone = PeerName(deviceInfo_.model);
    }
  }
  onPhase_(phase, phone);
}

void Session::SendJson(MessageType type, const std::string& json) {
  if (!connection_.IsOpen()) {
    return;
  }
  connection_.Send(
      EncodeFrame(sequenceCounters_, type, Channel::kControl, FrameFlags::kNone, 0, NowUs(), json),
      false);
}

void Session::SendEmpty(MessageType type) {
  if (!connection_.IsOpen()) {
    return;
  }
  connection_.Send(EncodeFrame(sequenceCounters_, type, Channel::kControl, FrameFlags::kNone, 0,
                               NowUs(), nullptr, 0),
                   false);
}

void Session::SendError(const char* code, const char* message) {
  SendJson(MessageType::kError, Serialize(BuildError(ErrorInfo{code, message})));
}

std::int32_t Session::Run(const Options& options) {
  options_ = options;
  running_ = true;
  permissionDenied_ = false;
  refusedHere_ = false;
  requestedBps_ = 0;
  noAnswerHere_ = false;
  {
    const std::lock_guard<std::mutex> lock(trustLock_);
    approvedId_.clear();
    approvedKey_.clear();
    approvedStored_ = false;
    lastAskedAbout_.clear();
  }

  std::int32_t status = graphics_.Init(0, static_cast<std::uint32_t>(options_.outputIndex));
  if (status < 0) {
    Log(LogLevel::Error, "%s failed: %s", "GraphicsContext", HresultText(status).c_str());
    return status;
  }
  KeepSystemAwake(true);
  SetState(SessionState::kConnecting,
           browsers_ != nullptr ? "waiting for a browser" : options_.host);
  if (browsers_ != nullptr) {
    // A page server waits for browsers for as long as it runs.
    if (running_ && AwaitBrowser()) {
      do {
        NegotiationCycle();
      } while (running_ && AwaitBrowser());
    }
    KeepSystemAwake(false);
    SetState(SessionState::kIdle, "run finished");
    return 0;
  }
  status = Connect(kFirstConnectTimeoutMs);
  if (status < 0) {
    KeepSystemAwake(false);
    Log(LogLevel::Error, "transport connect failed: 0x%08X", static_cast<unsigned>(status));
    return status;
  }
  if (running_) {
    do {
      NegotiationCycle();
    } while (running_ && !permissionDenied_ && Reconnect());
  }

  {
    const std::lock_guard<std::mutex> lock(pipelineLock_);
    StopPipeline();
  }
  connection_.Disconnect();
  KeepSystemAwake(false);
  SetState(SessionState::kIdle, "run finished");
  if (refusedHere_) {
    return kRefusedOnThisPc;
  }
  return noAnswerHere_ ? kNoAnswerOnThisPc : 0;
}

std::int32_t Session::Connect(std::uint32_t timeoutMs) {
  // The receive thread starts inside Connect and the receiver speaks first,
  // so its messages wait at the gate until this connection's negotiation
  // state is set up (NegotiationCycle).
  {
    const std::lock_guard<std::mutex> lock(stopLock_);
    cycleOpen_ = false;
  }
  if (browsers_ != nullptr) {
    return AdoptBrowser(timeoutMs);
  }
  peerAddress_ = options_.host + ":" + std::to_string(options_.port);
  return connection_.Connect(
      options_.host, options_.port, timeoutMs,
      [this](const Packet& packet) { HandleMessage(packet); },
      [this](const std::string& reason) { OnConnectionLost(reason); }, options_.useTls);
}

void Session::NegotiationCycle() {
  SetState(SessionState::kNegotiating, "waiting for HELLO");
  negotiationStartUs_ = NowUs();
  deviceInfoNagged_ = false;
  awaitingApproval_ = false;
  visible_ = true;
  retryAtUs_ = 0;
  {
    const std::lock_guard<std::mutex> lock(deviceInfoLock_);
    deviceInfo_ = DeviceInfo{};
    deviceInfoReceived_ = false;
  }
  {
    const std::lock_guard<std::mutex> lock(trustLock_);
    deviceId_.clear();
    pendingToken_.clear();
  }
  peerKey_ = connection_.PeerKeyHash();
  peerCode_ = connection_.PeerShortCode();
  helloSeen_ = false;
  questionShown_ = false;
  approvalNoticeDue_ = false;
  approval_ = PeerApproval::kNone;
  configSent_ = false;
  // Another connection may be another receiver on another link.
  stats_.ResetConnection();
  rate_.Reset(static_cast<std::uint32_t>(options_.bitrate), NowUs());
  if (const std::uint32_t requested = requestedBps_.load(); requested != 0) {
    rate_.SetCeiling(requested);
  }
  {
    const std::lock_guard<std::mutex> lock(stopLock_);
    cycleOpen_ = true;
  }
  stopWake_.notify_all();

  RunLoop();
  {
    const std::lock_guard<std::mutex> lock(pipelineLock_);
    StopPipeline();
  }
  connection_.Disconnect();
  {
    std::string deviceId;
    {
      const std::lock_guard<std::mutex> lock(trustLock_);
      deviceId = deviceId_;
    }
    RememberDelivery(deviceId);
  }
  if (browsers_ != nullptr) {
    browsers_->Release();
  }
  // A question about a receiver that has gone is withdrawn, and said to
  // be; the next connection is judged afresh. Only now: until Disconnect
  // joined the receive thread, a message still being handled could ask
  // one more.
  if (prompt_.Finish()) {
    approver_->Tell("the phone went away; nothing was allowed");
  }
  approval_ = PeerApproval::kNone;
  ReportPhase(ServePhase::kLeft);
}

std::int32_t Session::AdoptBrowser(std::uint32_t timeoutMs) {
  std::optional<BrowserLink> link = browsers_->Next(std::uint64_t{timeoutMs} * 1000);
  if (!link) {
    return status::kTimedOutHresult;
  }
  peerAddress_ = link->peerAddress;
  // Each browser is judged on its own: one that was refused does not end
  // the serving.
  permissionDenied_ = false;
  connection_.Adopt(
      link->socket.Take(), std::move(link->transport), std::move(link->identity),
      [this](const Packet& packet) { HandleMessage(packet); },
      [this](const std::string& reason) { OnConnectionLost(reason); });
  return 0;
}

bool Session::AwaitBrowser() {
  ReportPhase(ServePhase::kWaiting);
  while (running_) {
    // Through Connect, which closes the cycle gate first: the last
    // browser's negotiation state must not meet this one's messages.
    if (Connect(static_cast<std::uint32_t>(kRunLoopPeriodUs / 1000)) == 0) {
      SetState(SessionState::kConnecting, "a browser connected");
      return running_.load();
    }
  }
  return false;
}

void Session::WaitForCycle() {
  if (cycleOpen_.load()) {
    return;
  }
  std::unique_lock<std::mutex> lock(stopLock_);
  stopWake_.wait_for(lock, std::chrono::microseconds(kCycleGateUs),
                     [this] { return cycleOpen_.load() || !running_.load(); });
}

bool Session::Reconnect() {
  const std::uint64_t deadlineUs =
      NowUs() + static_cast<std::uint64_t>(options_.reconnectWindowMs) * 1000;
  while (running_ && NowUs() < deadlineUs) {
    SleepUnlessStopped(kReconnectPauseUs);
    if (!running_ || NowUs() >= deadlineUs) {
      continue;
    }
    SetState(SessionState::kConnecting, "reconnecting");
    if (Connect(kReconnectTimeoutMs) == 0) {
      return running_.load();
    }
  }
  if (running_) {
    Log(LogLevel::Warn, "receiver did not come back within %u ms", options_.reconnectWindowMs);
  }
  return false;
}

bool Session::SleepUnlessStopped(std::uint64_t durationUs) {
  std::unique_lock<std::mutex> lock(stopLock_);
  return !stopWake_.wait_for(lock, std::chrono::microseconds(durationUs),
                             [this] { return !running_.load(); });
}

void Session::RunLoop() {
  while (running_ && connection_.IsOpen()) {
    RunLoopPass(NowUs());
    SleepUnlessStopped(kRunLoopPeriodUs);
  }
}

void Session::RunLoopPass(std::uint64_t nowUs) {
  if (nowUs - lastPingUs_ >= kPingPeriodUs) {
    SendPing(nowUs);
  }
  StatsTick(nowUs);
  AdaptBitrate(nowUs);
  if (streaming_ && nowUs - lastVideoSentUs_.load(std::memory_order_relaxed) >= kKeepaliveAfterUs) {
    lastVideoSentUs_.store(nowUs, std::memory_order_relaxed);
    SendEmpty(MessageType::kStreamKeepalive);
  }
  PollApproval(nowUs);
  RetryPipeline(nowUs);
  NagSilentReceiver(nowUs);
}

void Session::SendPing(std::uint64_t nowUs) {
  lastPingUs_ = nowUs;
  pingCount_ += 1;
  // Recorded before it is queued: the PONG may come back at once.
  stats_.RecordPing(pingCount_, nowUs);
  const auto payload = EncodePing(PingPayload{pingCount_, nowUs, 0});
  connection_.Send(EncodeFrame(sequenceCounters_, MessageType::kPing, Channel::kControl,
                               FrameFlags::kNone, 0, nowUs, payload.data(), payload.size()),
                   false);
}

void Session::RetryPipeline(std::uint64_t nowUs) {
  const std::uint64_t retryAtUs = retryAtUs_.load();
  if (retryAtUs == 0 || nowUs < retryAtUs || approval_.load() != PeerApproval::kAllowed) {
    return;
  }
  retryAtUs_ = nowUs + kRetryPeriodUs;
  DeviceInfo info;
  bool received = false;
  {
    const std::lock_guard<std::mutex> lock(deviceInfoLock_);
    info = deviceInfo_;
    received = deviceInfoReceived_;
  }
  if (received) {
    Log(LogLevel::Debug, "retrying capture start");
    StartPipeline(info);
  }
}

void Session::NagSilentReceiver(std::uint64_t nowUs) {
  const std::uint64_t startUs = negotiationStartUs_.load(std::memory_order_relaxed);
  if (deviceInfoNagged_ || streaming_ || state_.load() != SessionState::kNegotiating ||
      startUs == 0 || nowUs - startUs < kSilentReceiverUs) {
    return;
  }
  deviceInfoNagged_ = true;
  if (awaitingApproval_.load(std::memory_order_relaxed)) {
    Log(LogLevel::Info, "waiting for the device to allow \"%s\" - tap Allow on its screen.",
        pairingStore_.hostName().c_str());
  } else {
    Log(LogLevel::Warn,
        "receiver has not sent DEVICE_INFO after %llu s. It is connected but not advertising its "
        "capabilities; check the receiver's log.",
        static_cast<unsigned long long>(kSilentReceiverUs / 1000000));
  }
}

void Session::OnConnectionLost(const std::string& reason) {
  Log(LogLevel::Warn, "receiver disconnected (%s); keeping display for %u ms", reason.c_str(),
      options_.reconnectWindowMs);
  streaming_ = false;
  // Nothing may stay pressed on this PC for a receiver that has gone.
  SetState(SessionState::kReconnecting, reason);
}

void Session::Stop() {
  // Held for the whole call: the destructor's own Stop then waits for a
  // Stop still running on another thread (Ctrl+C) before the members go,
  // and the flag is ordered before a sleeper's next check.
  const std::lock_guard<std::mutex> lock(stopLock_);
  if (running_.exchange(false)) {
    SetState(SessionState::kStopping, "stop requested");
    connection_.Stop();
    stopWake_.notify_all();
  }
}

}  // namespace veyra

// Building and tearing down capture -> convert -> encode for one receiver,
// and sending what the encoder delivers.

#include <algorithm>
#include <optional>
#include <string>
#include <system_error>

#include "host/base/clock.h"
#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/capture/capture_failure.h"
#include "host/session/session.h"
#include "host/session/stream_size.h"
#include "host/video/nal_units.h"
#include "host/wire/json_value.h"

namespace veyra {

std::int32_t Session::StartPipeline(const DeviceInfo& info) {
  const std::lock_guard<std::mutex> lock(pipelineLock_);
  const std::int32_t status = BuildPipeline(info);
  // A device lost while building (a converter or an encoder that fails on
  // it) is retried on new devices.
  if (status < 0 && (ClassifyCaptureFailure(status).recovery == CaptureRecovery::kNewDevices ||
                     graphics_.DeviceLost())) {
    renewGraphics_ = true;
    retryAtUs_ = NowUs() + kRetryPeriodUs;
  }
  return status;
}

std::int32_t Session::RenewGraphics() {
  Log(LogLevel::Warn, "creating the graphics devices afresh");
  const std::int32_t status = graphics_.Init(0, static_cast<std::uint32_t>(options_.outputIndex));
  if (status < 0) {
    Log(LogLevel::Error, "%s failed: %s", "GraphicsContext", HresultText(status).c_str());
    return status;
  }
  renewGraphics_ = false;
  Log(LogLevel::Info, "graphics devices renewed on %s", graphics_.adapterName().c_str());
  return status;
}

std::int32_t Session::BuildPipeline(const DeviceInfo& info) {
  SetState(SessionState::kDisplayCreating, "starting capture");
  StopPipeline();
  // Everything built on the old devices is gone now.
  if (renewGraphics_ || graphics_.DeviceLost()) {
    if (RenewGraphics() < 0) {
      Degrade("waiting for the graphics device");
      return 1;
    }
  }

  source_ = makeSource_(graphics_, options_);
  // Nothing else is built on the devices yet: opening may move them to the
  // adapter that can duplicate the monitor.
  std::int32_t status = graphics_.OpenSource(*source_);
  const CaptureFailure failure = ClassifyCaptureFailure(status, sourceOpened_);
  if (status == status::kEAccessDenied) {
    Log(LogLevel::Warn, "desktop is locked or a secure desktop is active; retrying capture");
    Degrade("waiting for the desktop to become available");
    NotifyNoDisplay("the PC is locked; the desktop will appear when it is unlocked");
    return 1;
  }
  if (status < 0 && failure.recovery != CaptureRecovery::kFailed) {
    // Said once an outage, like the receiver's notice; each retry after
    // that only in the debug log.
    Log(noDisplayNotified_ ? LogLevel::Debug : LogLevel::Warn,
        "capture unavailable (%s: %s); retrying", failure.cause, HresultText(status).c_str());
    // A vanished output may be driven by another adapter now (a dock
    // change): choose the adapter again. One that no adapter could
    // duplicate gets a new round of OpenSource's own, from where it ended.
    renewGraphics_ = renewGraphics_ || failure.recovery == CaptureRecovery::kNewDevices ||
                     status == status::kDxgiErrorNotFound;
    Degrade("waiting for the desktop to become available");
    NotifyNoDisplay("the PC's screen is not available yet; it will appear in a moment.");
    return 1;
  }
  if (status < 0) {
    SendError(kErrorNoDisplay, "capture source failed");
    return status;
  }
  const std::uint32_t sourceWidth = source_->Width();
  const std::uint32_t sourceHeight = source_->Height();
  if (sourceWidth == 0 || sourceHeight == 0) {
    Log(LogLevel::Warn, "%s source is not ready yet (no size); retrying", source_->Name());
    Degrade("waiting for the virtual monitor");
    NotifyNoDisplay("the PC's screen is not available yet; it will appear in a moment.");
    return 1;
  }
  retryAtUs_ = 0;
  sourceOpened_ = true;

  // A turned monitor's frames come unturned; the stream stands upright.
  const OutputRotation rotation = source_->Rotation();
  const ImageSize upright = DeliveredImageSize({sourceWidth, sourceHeight}, rotation);
  const StreamSize size =
      ChooseStreamSize(upright.width, upright.height, info, options_.width, options_.height);
  status = converter_.Init(graphics_, sourceWidth, sourceHeight, size.width, size.height, rotation);
  if (status < 0) {
    return status;
  }
  EncoderConfig config;
  config.width = converter_.OutputWidth();
  config.height = converter_.OutputHeight();
  config.fps = static_cast<std::uint32_t>(options_.fps);
  config.bitrate = rate_.rateBps();
  // A receiver's own ceiling may be anything; beyond level 5.2's limits
  // (300 Mbit/s in High profile) the level would leave what encoders and
  // phones take.
  config.maxBitrate = std::min(rate_.ceilingBps(), kLevelRateLimitBps);
  // The encoder's own keyframes come seldom: the interval the options ask
  // for is kept by RefreshDue, which waits for a link with room for one.
  config.gop = std::max(static_cast<std::uint32_t>(std::max(options_.gop, 0)),
                        static_cast<std::uint32_t>(std::max(options_.fps, 1)) * kLongGopSeconds);
  config.preferHardware = options_.preferHardware;
  status = encoder_.Open(graphics_, config,
                         [this](const EncodedFrame& frame) { OnEncodedFrame(frame); });
  if (status < 0) {
    SendError(kErrorNoEncoder, "no usable H.264 encoder");
    return status;
  }
  status = encoder_.OpenSharedSurfaces(converter_.SharedHandles(), converter_.OutputWidth(),
                                       converter_.OutputHeight());
  if (status < 0) {
    Log(LogLevel::Error, "could not share the NV12 pool with the encoder device");
    return status;
  }

  videoConfig_ = VideoConfig{};
  videoConfig_.width = static_cast<std::int32_t>(converter_.OutputWidth());
  videoConfig_.height = static_cast<std::int32_t>(converter_.OutputHeight());
  videoConfig_.fps = options_.fps;
  videoConfig_.bitrateBps = options_.bitrate;
  // The level the encoder chose, from its SPS, where it told it up front;
  // otherwise the one it was asked for or, left to choose, picks.
  const std::optional<std::string> level = SpsLevelName(encoder_.sequenceHeader());
  videoConfig_.level = level ? *level : LevelIdcName(MinimumLevelIdc(config));

  // Input follows the monitor being captured; a source without a monitor
  // (the synthetic pattern) leaves the injector where it was.
  if (options_.injectInput) {
    const std::wstring deviceName = source_->OutputDeviceName();
    if (!deviceName.empty()) {
      input_.FindMonitor(deviceName);
    }
    input_.SetPictureTurns(PictureTurns(rotation, converter_.appliedRotation()));
  }
  stats_.Reset();
  sendWindow_.Reset();
  keyframes_.Reset();
  keyframeBytes_ = 0;
  frameBytes_ = 0;
  framesSinceKeyframe_ = 0;
  configSent_ = false;
  SendJson(MessageType::kVideoConfig, Serialize(BuildVideoConfig(videoConfig_)));

  streaming_ = true;
  noDisplayNotified_ = false;
  keyframeRequested_ = true;
  pictureOwed_ = false;
  protectedContentLogged_ = false;
  try {
    captureThread_ =
        std::thread([this, sourceWidth, sourceHeight] { CaptureLoop(sourceWidth, sourceHeight); });
  } catch (const std::system_error& error) {
    streaming_ = false;
    Log(LogLevel::Error, "%s failed: %s", "capture thread", error.what());
    return status::kEFail;
  }
  SendEmpty(MessageType::kStreamStart);
  SetState(SessionState::kStreaming, "pipeline running");
  ReportPhase(ServePhase::kStreaming);
  return 0;
}

void Session::StopPipeline() {
  streaming_ = false;
  // Also after the capture loop gave up by itself: the thread has returned
  // but still has to be joined.
  if (captureThread_.joinable()) {
    captureThread_.join();
  }
  lastFrame_ = Texture{};
  encoder_.Shutdown();
  converter_.Shutdown();
  if (source_) {
    source_->Close();
    source_.reset();
  }
  if (options_.injectInput) {
    input_.Suspend();
  }
}

void Session::Degrade(std::string_view reason) {
  // Input stops being allowed until the pipeline runs again.
  SetState(SessionState::kDegraded, reason);
  if (source_) {
    source_->Close();
    source_.reset();
  }
  retryAtUs_ = NowUs() + kRetryPeriodUs;
}

void Session::NotifyNoDisplay(const char* message) {
  if (noDisplayNotified_) {
    return;
  }
  noDisplayNotified_ = true;
  SendError(kErrorNoDisplay, message);
}

void Session::OnEncodedFrame(const EncodedFrame& frame) {
  if (!streaming_ || !connection_.IsOpen()) {
    return;
  }
  // While the receiver shows nothing only keyframes go out, so that it has
  // a picture to start from when it comes back; what it then gets next must
  // not refer to a picture left out here.
  if (!visible_ && !frame.keyframe) {
    keyframes_.Discarded();
    return;
  }
  // A P-frame whose reference the receiver never got would show a broken
  // picture until the next keyframe: it is not sent at all.
  if (!keyframes_.Admit(frame.keyframe)) {
    return;
  }
  if (!configSent_) {
    const std::vector<std::uint8_t>& header = encoder_.sequenceHeader();
    // A hardware encoder tells its sequence header only with its first
    // keyframe, and may have taken another level than it was asked for:
    // the receiver sizes its decoder by the level, so it hears the one the
    // stream keeps to before the stream's first picture.
    const std::optional<std::string> level = SpsLevelName(header);
    if (level && *level != videoConfig_.level) {
      Log(LogLevel::Info,
          "the encoder chose level %s, not %s; the video configuration is sent again",
          level->c_str(), videoConfig_.level.c_str());
      videoConfig_.level = *level;
      SendJson(MessageType::kVideoConfig, Serialize(BuildVideoConfig(videoConfig_)));
    }
    if (!header.empty()) {
      connection_.Send(
          EncodeFrame(sequenceCounters_, MessageType::kVideoConfigData, Channel::kVideo,
                      FrameFlags::kCodecConfig, 0, NowUs(), header.data(), header.size()),
          false);
      configSent_ = true;
    }
  }
  // The records go in before the frame is queued: on a fast link its
  // FRAME_ACK can come back before Send returns.
  const std::uint64_t sentUs = NowUs();
  FrameTiming timing = timingRing_.Find(frame.frameId);
  timing.frameId = frame.frameId;
  timing.captureTimeUs = frame.captureTimeUs;
  timing.encodedTimeUs = frame.encodedTimeUs;
  timing.sentUs = sentUs;
  timing.bytes = static_cast<std::uint32_t>(frame.size);
  timing.keyframe = frame.keyframe;
  stats_.RecordFrame(timing);
  sendWindow_.OnSent(frame.frameId, timing.bytes, sentUs);
  rate_.OnSent(timing.bytes, sentUs);
  if (frame.keyframe) {
    keyframeBytes_.store(timing.bytes, std::memory_order_relaxed);
    framesSinceKeyframe_.store(0, std::memory_order_relaxed);
  } else {
    framesSinceKeyframe_.fetch_add(1, std::memory_order_relaxed);
    // A running mean over about eight frames: the size the next one is
    // likely to have.
    const std::uint64_t mean = frameBytes_.load(std::memory_order_relaxed);
    frameBytes_.store(mean == 0 ? timing.bytes : (mean * 7 + timing.bytes) / 8,
                      std::memory_order_relaxed);
  }
  const std::uint8_t flags =
      FrameFlags::kAccessUnit | (frame.keyframe ? FrameFlags::kKeyframe : FrameFlags::kNone);
  const bool queued =
      connection_.Send(EncodeFrame(sequenceCounters_, MessageType::kVideoFrame, Channel::kVideo,
                                   flags, frame.frameId, frame.captureTimeUs, frame.data,
                                   static_cast<std::size_t>(frame.size)),
                       true);
  if (!queued) {
    // Not on the wire: it must neither fill the window nor count as
    // delivered when a later frame's acknowledgement covers it.
    sendWindow_.OnUnsent(frame.frameId);
    stats_.UnrecordFrame(timing);
  }
  if (!queued && keyframes_.Discarded() && connection_.IsOpen()) {
    Log(LogLevel::Info,
        "video frame %llu did not fit in the send queue; restarting from a keyframe",
        static_cast<unsigned long long>(frame.frameId));
  }
  lastVideoSentUs_.store(sentUs, std::memory_order_relaxed);
}

void Session::StatsTick(std::uint64_t nowUs) {
  if (!streaming_ || nowUs - lastStatsUs_ < kStatsPeriodUs) {
    return;
  }
  lastStatsUs_ = nowUs;
  const std::uint32_t inflight = encoder_.inflightCount();
  const HostStats s = stats_.Snapshot(inflight, nowUs);
  SendJson(MessageType::kHostStats, Serialize(BuildHostStats(s)));
  Log(LogLevel::Info,
      "fps=%.1f %.1f Mbps | capture=%.1f convert=%.1f encode=%.1f net=%.1f | e2e p50=%.1f "
      "p95=%.1f rtt=%.1f ms | dropped=%lld",
      s.fps, static_cast<double>(s.bitrateBps) / 1000000.0, s.captureMs, s.convertMs, s.encodeMs,
      s.networkMs, s.e2eP50Ms, s.e2eP95Ms, s.rttMs, static_cast<long long>(s.droppedFrames));

  const PumpCounters& c = encoder_.counters();
  const std::array<std::uint64_t, 9> now = {
      c.iterations.load(),    c.blocked.load(),        c.getEventUs.load(),
      c.inputStatusUs.load(), c.processInputUs.load(), c.processOutputUs.load(),
      c.callbackUs.load(),    c.waitUs.load(),         nextFrameId_.load()};
  const auto growth = [&](std::size_t i) {
    return static_cast<unsigned long long>(now[i] - pumpBaseline_[i]);
  };
  Log(LogLevel::Debug, "pump: %llu iters (%llu blocked) submitted=%llu dropped=%llu inflight=%u",
      growth(0), growth(1), growth(8), static_cast<unsigned long long>(encoder_.supersededFrames()),
      inflight);
  Log(LogLevel::Debug,
      "  time/s: getEvent=%llu inputStatus=%llu processInput=%llu processOutput=%llu "
      "callback=%llu wait=%llu (us)",
      growth(2), growth(3), growth(4), growth(5), growth(6), growth(7));
  pumpBaseline_ = now;
  LogLinkState();
}

}  // namespace veyra

#include "host/video/video_encoder.h"

#include <utility>

#include "host/base/clock.h"
#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"

namespace veyra {
namespace {

// MFT_INPUT_STATUS_ACCEPT_DATA, as the input-status flags print it.
constexpr unsigned long kAcceptDataFlag = 1;

void LogStepFailure(const char* step, std::int32_t status) {
  Log(LogLevel::Error, "%s failed: %s", step, HresultText(status).c_str());
}

}  // namespace

VideoEncoder::VideoEncoder() : VideoEncoder(CreatePlatformEncoderBackend()) {}

VideoEncoder::VideoEncoder(std::unique_ptr<EncoderBackend> backend)
    : backend_(std::move(backend)) {}

VideoEncoder::~VideoEncoder() { Shutdown(); }

EncoderConfig VideoEncoder::config() const {
  EncoderConfig copy = config_;
  copy.bitrate = bitrate_.load();
  return copy;
}

std::int32_t VideoEncoder::Open(GraphicsContext& graphics, const EncoderConfig& config,
                                FrameCallback onFrame) {
  Shutdown();
  config_ = config;
  graphics_ = &graphics;
  bitrate_ = config.bitrate;
  onFrame_ = std::move(onFrame);
  const std::int32_t status = OpenSteps(graphics);
  if (status != status::kSOk) return status;
  failure_ = status::kSOk;
  keyframeWanted_ = false;
  bitrateChanged_ = false;
  running_ = true;
  pumpThread_ = std::thread(&VideoEncoder::PumpLoop, this);
  Log(LogLevel::Info, "encoder ready: %s (%s), %ux%u@%u %u kbps", name_.c_str(),
      hardware_ ? "hardware" : "software", config_.width, config_.height, config_.fps,
      config_.bitrate / 1000);
  return status::kSOk;
}

std::int32_t VideoEncoder::OpenSteps(GraphicsContext& graphics) {
  std::int32_t status = backend_->Startup();
  if (status != status::kSOk) {
    LogStepFailure("MFStartup", status);
    return status;
  }
  started_ = true;

  status = Select(graphics);
  if (status == status::kMfETopoCodecNotFound) LogStepFailure("encoder selection", status);
  return status;
}

// Each candidate is taken through configuration and the start of the
// stream, so that one refusing this size, this device or another session
// (hardware encoders limit their sessions) gives way to the next: the
// hardware encoders of the adapter first, then the software ones. Each that
// fails is shut down before the next is activated.
std::int32_t VideoEncoder::Select(GraphicsContext& graphics) {
  std::int32_t lastFailure = status::kMfETopoCodecNotFound;
  for (const bool hardware : {true, false}) {
    if (hardware && !config_.preferHardware) continue;
    std::size_t next = 0;
    bool found = false;
    while (backend_->SelectEncoder(graphics, hardware, config_, &transform_, &next) ==
           status::kSOk) {
      found = true;
      name_ = transform_->name();
      hardware_ = hardware;
      bool failedBefore = false;
      if (hardware) {
        const std::lock_guard<std::mutex> lock(lock_);
        failedBefore = bans_.Banned(graphics.adapterLuid(), name_, NowUs());
      }
      if (failedBefore) {
        Log(LogLevel::Warn, "encoder %s stopped a stream before; trying the next one",
            name_.c_str());
        DiscardTransform();
        continue;
      }
      const std::int32_t status = StartTransform();
      if (status == status::kSOk) return status;
      lastFailure = status;
      Log(LogLevel::Warn, "encoder %s could not start; trying the next one", name_.c_str());
      DiscardTransform();
    }
    if (hardware && !found) {
      Log(LogLevel::Warn, "no hardware H.264 encoder; falling back to software");
    }
  }
  return lastFailure;
}

// In the order Media Foundation's encoders expect: the device, then the
// fixed settings (rate control, GOP, B pictures, references, latency), then
// the media types, and the sequence header once all of them are set.
std::int32_t VideoEncoder::StartTransform() {
  std::int32_t status = transform_->BindDevice();
  if (status != status::kSOk) {
    LogStepFailure("D3D manager binding", status);
    return status;
  }
  ApplyCodecSettings();
  const char* failedStep = "media types";
  status = transform_->Configure(config_, &failedStep);
  if (status != status::kSOk) {
    LogStepFailure(failedStep, status);
    return status;
  }
  std::vector<std::uint8_t> header = transform_->SequenceHeaderOfType();
  if (!header.empty()) {
    sequenceHeader_ = std::move(header);
    Log(LogLevel::Debug, "SPS/PPS from MF_MT_MPEG_SEQUENCE_HEADER (%u bytes)",
        static_cast<unsigned>(sequenceHeader_.size()));
  }

  // The pump learns when a hardware or asynchronous transform wants input
  // only from its events; without them it could never be fed.
  if ((hardware_ || transform_->async()) && !transform_->HasEvents()) {
    LogStepFailure("IMFMediaEventGenerator query", status::kENoInterface);
    return status::kENoInterface;
  }
  events_ = transform_->HasEvents();

  status = transform_->ProcessMessage(TransformMessage::kBeginStreaming);
  if (status != status::kSOk) {
    LogStepFailure("BEGIN_STREAMING", status);
    return status;
  }
  status = transform_->ProcessMessage(TransformMessage::kStartOfStream);
  if (status != status::kSOk) {
    LogStepFailure("START_OF_STREAM", status);
    return status;
  }
  bool accepts = false;
  const std::int32_t inputStatus = transform_->GetInputStatus(&accepts);
  Log(LogLevel::Debug, "after START_OF_STREAM: GetInputStatus=%s flags=0x%lX (ACCEPT_DATA=%d)",
      HresultText(inputStatus).c_str(), accepts ? kAcceptDataFlag : 0ul, accepts ? 1 : 0);
  return status::kSOk;
}

void VideoEncoder::DiscardTransform() {
  if (transform_ && transform_->HasEvents()) transform_->Shutdown();
  transform_.reset();
  events_ = false;
  sequenceHeader_.clear();
}

void VideoEncoder::ApplyCodecSettings() {
  if (!transform_->HasCodecApi()) {
    Log(LogLevel::Debug, "encoder exposes no ICodecAPI; using media-type settings only");
    return;
  }
  for (const CodecSetting& setting : LowLatencySettings(config_)) {
    SetProperty(setting);
  }
}

std::int32_t VideoEncoder::SetProperty(const CodecSetting& setting) {
  const std::int32_t status = transform_->ApplySetting(setting);
  if (status != status::kSOk) {
    Log(LogLevel::Debug, "encoder does not accept %s: %s", setting.displayName,
        HresultText(status).c_str());
  }
  return status;
}

std::int32_t VideoEncoder::OpenSharedSurfaces(const std::vector<SharedHandle>& handles,
                                              std::uint32_t width, std::uint32_t height) {
  surfaces_.resize(handles.size());
  if (!transform_) return status::kInvalidStateHresult;
  for (std::size_t slot = 0; slot < handles.size(); ++slot) {
    if (handles[slot] == nullptr) return status::kEInvalidArg;
    const std::int32_t status =
        transform_->OpenSurface(slot, handles[slot], width, height, &surfaces_[slot]);
    if (status != status::kSOk) return status;
  }
  Log(LogLevel::Info, "encoder opened %zu shared NV12 surfaces on its own device", handles.size());
  return status::kSOk;
}

PostResult VideoEncoder::PostFrame(std::size_t slotIndex, std::uint64_t frameId,
                                   std::uint64_t captureTimeUs) {
  if (!running_ || slotIndex >= surfaces_.size()) return PostResult::kRefused;
  std::int64_t previous = -1;
  {
    const std::lock_guard<std::mutex> lock(lock_);
    previous = pending_.slot;
    pending_ = {static_cast<std::int64_t>(slotIndex), frameId, captureTimeUs};
    if (previous >= 0) ++supersededFrames_;
  }
  if (previous >= 0) ReturnSlot(static_cast<std::size_t>(previous));
  wake_.notify_all();
  return previous >= 0 ? PostResult::kReplaced : PostResult::kAccepted;
}

void VideoEncoder::ReturnSlot(std::size_t slotIndex) {
  if (slotIndex >= surfaces_.size() || !surfaces_[slotIndex]) return;
  KeyedMutex& mutex = *surfaces_[slotIndex];
  if (mutex.AcquireSync(1, 0) == status::kSOk) mutex.ReleaseSync(0);
}

// Both only note the request: the pump applies it right before the next
// frame it feeds, so that the change belongs to that frame and no codec
// call races the pump's.
void VideoEncoder::RequestKeyframe() { keyframeWanted_ = true; }

void VideoEncoder::SetBitrate(std::uint32_t bitsPerSecond) {
  bitrate_ = bitsPerSecond;
  bitrateChanged_ = true;
}

void VideoEncoder::Shutdown() {
  // The pump stops first, also when it died by itself (a failed GetEvent
  // clears running_ but leaves the thread to be joined): no transform call
  // may overlap the messages below or follow the release.
  {
    const std::lock_guard<std::mutex> lock(lock_);
    running_ = false;
  }
  wake_.notify_all();
  if (pumpThread_.joinable()) pumpThread_.join();

  if (transform_) {
    transform_->ProcessMessage(TransformMessage::kCommandFlush);
    transform_->ProcessMessage(TransformMessage::kEndOfStream);
    transform_->ProcessMessage(TransformMessage::kEndStreaming);
  }
  DiscardTransform();
  {
    const std::lock_guard<std::mutex> lock(lock_);
    if (pending_.slot >= 0) ReturnSlot(static_cast<std::size_t>(pending_.slot));
    pending_ = Pending{};
    inFlight_.clear();
    needInput_ = 0;
  }
  surfaces_.clear();
  sequenceHeader_.clear();
  inflightCount_ = 0;
  if (started_) {
    backend_->Cleanup();
    started_ = false;
  }
}

}  // namespace veyra

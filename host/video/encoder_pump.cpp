// The encoder's pump thread: takes the transform's events, feeds it the
// newest posted slot and hands every access unit to the output callback.
//
// An asynchronous transform is driven only by its events ("Asynchronous
// MFTs"): ProcessInput only against a METransformNeedInput it sent, one
// ProcessOutput per METransformHaveOutput, and MEError or a failed event
// ends the stream. A synchronous transform is asked for its input status
// and drained after each input instead.

#include <algorithm>
#include <chrono>
#include <optional>
#include <span>

#include "host/base/clock.h"
#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/video/nal_units.h"
#include "host/video/video_encoder.h"

namespace veyra {
namespace {

// Adds the time since |startUs| to |counter|.
void AddElapsed(std::atomic<std::uint64_t>& counter, std::uint64_t startUs) {
  counter += NowUs() - startUs;
}

}  // namespace

void VideoEncoder::PumpLoop() {
  transform_->PumpThreadStarted();
  // Told of each event, the pump sleeps until one comes, a frame it asked
  // for is posted or Shutdown, instead of polling every few hundred
  // microseconds while a frame waits.
  const bool watching = events_ && transform_->WatchEvents([this] {
    {
      const std::lock_guard<std::mutex> lock(lock_);
      eventsArrived_ = true;
    }
    wake_.notify_all();
  });
  Log(LogLevel::Debug, "encoder pump started (async=%d, events=%d)", transform_->async() ? 1 : 0,
      events_ ? 1 : 0);
  while (running_) {
    if (events_ && !TakeEvents()) break;
    const std::int32_t submitted = Submit();
    if (!events_) DrainOutput();
    ++counters_.iterations;
    if (submitted == status::kSFalse) ++counters_.blocked;

    const std::uint64_t startUs = NowUs();
    std::unique_lock<std::mutex> lock(lock_);
    if (watching) {
      // Bounded all the same: a transform that goes quiet is looked at again.
      wake_.wait_for(lock, std::chrono::microseconds(kIdleWaitUs), [&] {
        return eventsArrived_ || !running_ || (pending_.slot >= 0 && needInput_ > 0);
      });
      eventsArrived_ = false;
    } else if (pending_.slot < 0) {
      wake_.wait_for(lock, std::chrono::microseconds(kIdleWaitUs),
                     [&] { return pending_.slot >= 0 || !running_; });
    } else {
      // A frame waits for the transform: poll its events again soon.
      wake_.wait_for(lock, std::chrono::microseconds(kPendingWaitUs));
    }
    lock.unlock();
    AddElapsed(counters_.waitUs, startUs);
  }
  Log(LogLevel::Debug, "encoder pump stopped");
  transform_->PumpThreadStopping();
}

void VideoEncoder::Fail(const char* what, std::int32_t status) {
  Log(LogLevel::Error, "encoder %s: %s; the stream stops", what, HresultText(status).c_str());
  failure_ = status != status::kSOk ? status : status::kEFail;
  running_ = false;
}

// A lost device takes the encoder's stream with it but is no fault of the
// encoder's: the rebuild on the new device gets the same hardware encoder.
void VideoEncoder::BanAfterFailure(std::int32_t eventStatus) {
  if (IsDeviceLoss(eventStatus) || (graphics_ != nullptr && graphics_->DeviceLost())) {
    Log(LogLevel::Info, "encoder %s lost its device; it is used again on the new one",
        name_.c_str());
    return;
  }
  const std::uint64_t adapter = graphics_ != nullptr ? graphics_->adapterLuid() : 0;
  const std::lock_guard<std::mutex> lock(lock_);
  bans_.Ban(adapter, name_, NowUs());
}

bool VideoEncoder::TakeEvents() {
  for (;;) {
    std::uint32_t type = 0;
    bool typeKnown = false;
    std::int32_t eventStatus = status::kSOk;
    const std::uint64_t startUs = NowUs();
    const std::int32_t status = transform_->GetEvent(&type, &typeKnown, &eventStatus);
    AddElapsed(counters_.getEventUs, startUs);
    if (status == status::kMfENoEventsAvailable) return true;
    if (status < 0) {
      // MF_E_SHUTDOWN is Shutdown's own doing, not a failure.
      if (running_ && status != status::kMfEShutdown) {
        Log(LogLevel::Warn, "encoder GetEvent failed: %s", HresultText(status).c_str());
        failure_ = status;
      }
      running_ = false;  // the transform is dead from here on
      return false;
    }
    if (!typeKnown) continue;
    if (type == kEventError || eventStatus < 0) {
      Fail(type == kEventError ? "reported MEError" : "event failed",
           eventStatus < 0 ? eventStatus : status::kEFail);
      if (hardware_) BanAfterFailure(eventStatus);
      return false;
    }
    switch (type) {
      case kEventNeedInput: {
        const std::lock_guard<std::mutex> lock(lock_);
        ++needInput_;
        break;
      }
      case kEventHaveOutput:
        TakeOutput();  // a failed output costs that frame, not the stream
        break;
      case kEventDrainComplete:
        Log(LogLevel::Debug, "encoder drain complete");
        break;
      default:
        Log(LogLevel::Trace, "encoder event %lu", static_cast<unsigned long>(type));
        break;
    }
  }
}

bool VideoEncoder::SlotInFlight(std::size_t slot) const {
  return std::any_of(inFlight_.begin(), inFlight_.end(),
                     [slot](const InFlight& entry) { return entry.slot == slot; });
}

// Applied on the pump thread right before the input they belong to.
void VideoEncoder::ApplyPendingControls() {
  if (bitrateChanged_.exchange(false)) {
    const std::uint32_t bitsPerSecond = bitrate_.load();
    if (transform_->HasCodecApi() &&
        SetProperty(MeanBitRateSetting(bitsPerSecond)) == status::kSOk) {
      Log(LogLevel::Info, "bitrate -> %u kbps", bitsPerSecond / 1000);
      SetProperty(BufferSizeSetting(bitsPerSecond, config_));
    }
  }
  if (keyframeWanted_.exchange(false) && transform_->HasCodecApi()) {
    transform_->ApplySetting(ForceKeyFrameSetting());
    Log(LogLevel::Debug, "keyframe requested");
  }
}

std::int32_t VideoEncoder::Submit() {
  {
    const std::lock_guard<std::mutex> lock(lock_);
    if (pending_.slot < 0) return status::kSFalse;
    // Only against an input request: an asynchronous transform refuses
    // input it did not ask for.
    if (events_ && needInput_ == 0) return status::kSFalse;
  }
  if (!events_) {
    bool accepts = false;
    const std::uint64_t startUs = NowUs();
    const std::int32_t status = transform_->GetInputStatus(&accepts);
    AddElapsed(counters_.inputStatusUs, startUs);
    if (status < 0 || !accepts) return status::kSFalse;
  }

  Pending frame;
  bool busy = false;
  {
    const std::lock_guard<std::mutex> lock(lock_);
    if (pending_.slot < 0) return status::kSFalse;
    frame = pending_;
    pending_ = Pending{};
    busy = SlotInFlight(static_cast<std::size_t>(frame.slot));
  }
  const auto slot = static_cast<std::size_t>(frame.slot);
  if (busy) {
    // The slot's own texture is still in a sample the transform holds:
    // copying over it would change a picture being encoded.
    Log(LogLevel::Debug, "NV12 slot %zu is still being encoded; dropping frame", slot);
    ++supersededFrames_;
    ReturnSlot(slot);
    return status::kEPending;
  }

  KeyedMutex* mutex = surfaces_[slot].get();
  const std::int32_t acquired =
      mutex != nullptr ? mutex->AcquireSync(1, kSlotWaitMs) : status::kInvalidStateHresult;
  if (acquired == kKeyedMutexAbandoned) {
    // The converter's device let go of the slot without releasing it: that
    // device is gone, and no later frame will come through either.
    Fail("found a shared slot abandoned", acquired);
    return acquired;
  }
  if (acquired != status::kSOk) {
    // Handing the slot straight back keeps the ring whole: left at key 1,
    // the converter would find it busy on every later turn.
    Log(LogLevel::Debug, "could not acquire NV12 slot %zu for encoding", slot);
    ReturnSlot(slot);
    return status::kEPending;
  }
  const std::int32_t copied = transform_->CopySurface(slot);
  mutex->ReleaseSync(0);
  // A failed copy or sample spends no input request.
  if (copied != status::kSOk) return status::kEFail;
  // Before the sample is made: libavcodec takes a keyframe request with it.
  ApplyPendingControls();
  if (transform_->MakeSample(slot, frame.frameId) != status::kSOk) return status::kEFail;
  const std::uint64_t startUs = NowUs();
  const std::int32_t status = transform_->ProcessInput();
  AddElapsed(counters_.processInputUs, startUs);
  if (status < 0) {
    Log(LogLevel::Warn, "ProcessInput failed: %s", HresultText(status).c_str());
    return status;
  }
  {
    const std::lock_guard<std::mutex> lock(lock_);
    if (events_ && needInput_ > 0) --needInput_;
    inFlight_.push_back({frame.frameId, frame.captureTimeUs, slot});
    // A transform that drops inputs without output must not pin slots.
    while (inFlight_.size() > kMaxInFlight) inFlight_.pop_front();
  }
  ++inflightCount_;
  return status::kSOk;
}

std::int32_t VideoEncoder::DrainOutput() {
  for (;;) {
    const std::int32_t status = TakeOutput();
    if (status != status::kSOk) return status == status::kSFalse ? status::kSOk : status;
  }
}

std::int32_t VideoEncoder::TakeOutput() {
  OutputKind kind = OutputKind::kNone;
  const std::uint64_t startUs = NowUs();
  std::int32_t status = transform_->ProcessOutput(&accessUnit_, &kind);
  AddElapsed(counters_.processOutputUs, startUs);
  if (status == status::kMfETransformStreamChange) {
    // The transform changed its output type: take the offered type that
    // matches ours, then the output that was waiting, with the sequence
    // header of the new type.
    status = transform_->RenegotiateOutput();
    if (status < 0) return status;
    std::vector<std::uint8_t> header = transform_->SequenceHeaderOfType();
    if (!header.empty()) sequenceHeader_ = std::move(header);
    Log(LogLevel::Info, "encoder output type changed; renegotiated");
    kind = OutputKind::kNone;
    status = transform_->ProcessOutput(&accessUnit_, &kind);
  }
  if (status == status::kMfETransformNeedMoreInput || status == status::kEUnexpected) {
    return status::kSFalse;
  }
  if (status < 0) {
    if (kind != OutputKind::kAllocationFailed) {
      Log(LogLevel::Warn, "ProcessOutput failed: %s", HresultText(status).c_str());
    }
    return status;
  }
  if (kind == OutputKind::kNone || kind == OutputKind::kAllocationFailed) return status::kSFalse;

  // Inputs before the one this output was made from were dropped by the
  // transform (a rate control may skip frames): they hold no slot any more,
  // and the output is not theirs. Only an id that is one of the inputs in
  // flight is believed; otherwise outputs follow inputs in order.
  const std::optional<std::uint64_t> madeFrom = transform_->OutputFrameId();
  std::uint32_t skipped = 0;
  InFlight source;
  {
    const std::lock_guard<std::mutex> lock(lock_);
    if (madeFrom) {
      const auto match =
          std::find_if(inFlight_.begin(), inFlight_.end(),
                       [&](const InFlight& entry) { return entry.frameId == *madeFrom; });
      if (match != inFlight_.end()) {
        skipped = static_cast<std::uint32_t>(match - inFlight_.begin());
        inFlight_.erase(inFlight_.begin(), match);
      }
    }
    if (!inFlight_.empty()) {
      source = inFlight_.front();
      inFlight_.pop_front();
    }
  }
  if (skipped != 0) {
    Log(LogLevel::Debug, "the encoder skipped %u input(s) before frame %llu", skipped,
        static_cast<unsigned long long>(*madeFrom));
  }
  const std::uint32_t taken = skipped + 1;
  // More outputs than inputs leave the count at 0 rather than wrapping.
  std::uint32_t count = inflightCount_.load();
  while (count > 0 &&
         !inflightCount_.compare_exchange_weak(count, count - std::min(count, taken))) {
  }
  if (kind == OutputKind::kSample) DeliverAccessUnit(source);
  return status::kSOk;
}

void VideoEncoder::DeliverAccessUnit(const InFlight& source) {
  const std::span<const std::uint8_t> bytes(accessUnit_);
  const std::vector<NalUnit> units = ScanNalUnits(bytes);
  const bool keyframe = HasIdrSlice(units);
  if (keyframe && sequenceHeader_.empty()) {
    sequenceHeader_ = ExtractSequenceHeader(bytes, units);
    if (!sequenceHeader_.empty()) {
      Log(LogLevel::Debug, "SPS/PPS extracted from first IDR (%zu bytes)", sequenceHeader_.size());
    }
  }
  if (!onFrame_) return;
  EncodedFrame frame;
  frame.data = accessUnit_.data();
  frame.size = accessUnit_.size();
  frame.frameId = source.frameId;
  frame.captureTimeUs = source.captureTimeUs;
  frame.encodedTimeUs = NowUs();
  frame.keyframe = keyframe;
  const std::uint64_t startUs = NowUs();
  onFrame_(frame);
  AddElapsed(counters_.callbackUs, startUs);
}

}  // namespace veyra

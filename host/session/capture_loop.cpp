// The capture thread: paced capture, conversion into the NV12 pool and
// hand-off to the encoder, with the pauses, re-sends and recoveries a real
// desktop needs.

#include <algorithm>
#include <chrono>
#include <thread>

#include "host/base/clock.h"
#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/capture/capture_failure.h"
#include "host/session/session.h"

namespace veyra {
namespace {

void SleepUs(std::uint64_t us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

// A source that keeps its picture until its next frame (the duplication
// source's overlay) is kept by reference, which spares a full-frame copy
// per frame. One pipeline has one source, and a new pipeline starts with
// no last frame, so a kept reference is never copied into.
void KeepLastFrame(GraphicsContext& graphics, const CapturedFrame& frame, Texture* lastFrame) {
  if (frame.stable) {
    *lastFrame = frame.texture;
    return;
  }
  graphics.KeepLastFrame(frame.texture, lastFrame);
}

}  // namespace

void Session::CaptureLoop(std::uint32_t sourceWidth, std::uint32_t sourceHeight) {
  Log(LogLevel::Info, "capture loop started (%s)", source_->Name());
  const std::uint64_t intervalUs =
      options_.fps > 0 ? 1000000 / static_cast<std::uint64_t>(options_.fps) : 0;
  std::uint64_t deadlineUs = NowUs();
  bool paused = false;
  while (running_ && streaming_) {
    if (!visible_) {
      if (!paused) {
        paused = true;
        Log(LogLevel::Info, "receiver is in the background; capture and encoding paused");
      }
      SleepUs(kBackgroundPollUs);
      deadlineUs = NowUs();
      continue;
    }
    if (paused) {
      paused = false;
      keyframeRequested_ = true;
      Log(LogLevel::Info, "receiver is back; resuming capture with a keyframe");
    }
    if (intervalUs != 0) {
      const std::uint64_t nowUs = NowUs();
      if (nowUs < deadlineUs) {
        SleepUs(deadlineUs - nowUs);
      }
      // A late pass starts a new rhythm instead of catching up in a burst.
      deadlineUs = std::max(deadlineUs + intervalUs, NowUs());
    }
    if (!CaptureOnePass(sourceWidth, sourceHeight)) {
      return;
    }
  }
  Log(LogLevel::Info, "capture loop stopped");
}

bool Session::CaptureOnePass(std::uint32_t sourceWidth, std::uint32_t sourceHeight) {
  // An encoder that stopped by itself (MEError, a dead transform) takes no
  // more frames: build the stream again rather than capture for nothing.
  if (const std::int32_t failure = encoder_.failure(); failure != status::kSOk) {
    Log(LogLevel::Warn, "encoder stopped (%s); rebuilding the pipeline",
        HresultText(failure).c_str());
    RecoverCapture(failure, 0, 0, sourceWidth, sourceHeight);
    return false;
  }
  FrameTiming timing;
  timing.loopStartUs = NowUs();
  CapturedFrame frame;
  const std::int32_t status = source_->AcquireFrame(&frame, kAcquireTimeoutMs);
  bool resent = false;
  if (status == status::kSFalse) {
    source_->ReleaseFrame();
    const bool requested = keyframeRequested_.load();
    if (!lastFrame_ || (!requested && !pictureOwed_ && !keyframes_.broken())) {
      return true;
    }
    if (!requested) {
      // The receiver lacks the newest picture: send it again once the link
      // has room and, where the chain is broken, a keyframe may be forced
      // (encoding a P-frame that would be held back is wasted work).
      const std::uint64_t nowUs = NowUs();
      if (!VideoWindowOpen(nowUs) || (keyframes_.broken() && !keyframes_.ForceAllowed(nowUs))) {
        return true;
      }
      Log(LogLevel::Debug, "desktop is still; re-sending the picture the link held back");
    } else {
      Log(LogLevel::Info, "desktop is still; re-sending the last frame as the requested keyframe");
    }
    // Nothing changed on the desktop, but the receiver needs the picture:
    // encode the kept copy again.
    frame.texture = lastFrame_;
    frame.captureTimeUs = NowUs();
    frame.width = lastFrame_.width;
    frame.height = lastFrame_.height;
    resent = true;
  } else if (status < 0) {
    source_->ReleaseFrame();
    RecoverCapture(status, 0, 0, sourceWidth, sourceHeight);
    return false;
  }

  if (frame.protectedContentMasked && !protectedContentLogged_) {
    // Once a pipeline: a frame whose changes miss the protected window may
    // come without the flag, so its clearing says little. The receiver shows
    // the text and goes on streaming, as with the approval notice, so the
    // black area is explained where it is seen.
    protectedContentLogged_ = true;
    Log(LogLevel::Warn,
        "Windows blacks out protected content on the captured monitor (a DRM video, a window "
        "that excludes itself from capture); the receiver shows it black");
    SendError(kErrorNoDisplay, "protected content on the PC's screen is shown black");
  }
  timing.captureTimeUs = frame.captureTimeUs;
  const Texture& texture = frame.texture;
  if (sourceWidth == 0 || sourceHeight == 0 || texture.width != sourceWidth ||
      texture.height != sourceHeight) {
    source_->ReleaseFrame();
    RecoverCapture(status::kSOk, texture.width, texture.height, sourceWidth, sourceHeight);
    return false;
  }
  // The link is behind: skip this picture rather than encode one that
  // would only wait; the next pass takes the newest.
  if (!VideoWindowOpen(NowUs())) {
    if (!resent) {
      // Kept, so that a desktop that goes still now still gets it across.
      KeepLastFrame(graphics_, frame, &lastFrame_);
      pictureOwed_ = true;
    }
    source_->ReleaseFrame();
    stats_.CountDropped();
    return true;
  }

  Texture converted;
  std::size_t slot = 0;
  const std::int32_t convertStatus = converter_.Convert(texture, &converted, &slot);
  if (!resent) {
    KeepLastFrame(graphics_, frame, &lastFrame_);
  }
  source_->ReleaseFrame();
  if (convertStatus == status::kEPending) {
    if (!resent) {
      pictureOwed_ = true;
    }
    stats_.CountDropped();
    return true;
  }
  if (convertStatus != status::kSOk) {
    // Converting on a lost device fails for ever: rebuild on new devices.
    if (ClassifyCaptureFailure(convertStatus).recovery == CaptureRecovery::kNewDevices ||
        graphics_.DeviceLost()) {
      RecoverCapture(convertStatus, 0, 0, sourceWidth, sourceHeight);
      return false;
    }
    Log(LogLevel::Warn, "colour conversion failed: %s", HresultText(convertStatus).c_str());
    return true;
  }
  converter_.WaitForSlot(slot);
  timing.convertedUs = NowUs();
  // Taken by the encoder: what goes out from here is the pacer's business.
  pictureOwed_ = !PostConverted(slot, timing, frame.captureTimeUs);
  return true;
}

bool Session::PostConverted(std::size_t slot, FrameTiming& timing, std::uint64_t captureTimeUs) {
  // A request, or a chain broken by a discarded frame; at most one forced
  // keyframe a second, and requests in between wait for it. Not while the
  // receiver shows nothing: the chain it breaks then is mended on its return.
  const std::uint64_t nowUs = NowUs();
  if (visible_ && keyframes_.ShouldForce(keyframeRequested_.load() || RefreshDue(nowUs), nowUs)) {
    keyframeRequested_ = false;
    encoder_.RequestKeyframe();
  }
  timing.frameId = nextFrameId_.fetch_add(1);
  timingRing_.Store(timing);
  const PostResult posted = encoder_.PostFrame(slot, timing.frameId, captureTimeUs);
  if (posted != PostResult::kAccepted) {
    // Replaced: this frame waits in the older one's place.
    stats_.CountDropped();
  }
  return posted != PostResult::kRefused;
}

void Session::RecoverCapture(std::int32_t status, std::uint32_t width, std::uint32_t height,
                             std::uint32_t sourceWidth, std::uint32_t sourceHeight) {
  const char* message = nullptr;
  const char* reason = nullptr;
  std::uint64_t retryAtUs = NowUs();
  const CaptureFailure failure = ClassifyCaptureFailure(status);
  if (status == status::kDxgiErrorAccessLost) {
    Log(LogLevel::Warn, "capture lost; rebuilding the complete pipeline");
    // A mode or dock change may have moved the monitor to another adapter:
    // the devices are chosen again, as after every expected duplication
    // error in Microsoft's desktop duplication sample.
    renewGraphics_ = true;
    message = "display changed or locked; recovering";
    reason = "display changed; rebuilding pipeline";
  } else if (failure.recovery == CaptureRecovery::kNewDevices || graphics_.DeviceLost()) {
    Log(LogLevel::Warn, "graphics device lost (%s: %s); new devices and pipeline",
        failure.cause != nullptr ? failure.cause : "the device reports removal",
        HresultText(status).c_str());
    renewGraphics_ = true;
    message = "capture failed; recovering";
    reason = "graphics device lost; rebuilding pipeline";
  } else if (failure.recovery == CaptureRecovery::kRetryLater) {
    Log(LogLevel::Warn, "capture unavailable (%s: %s); retrying", failure.cause,
        HresultText(status).c_str());
    message = "capture failed; recovering";
    reason = "capture unavailable; retrying";
    retryAtUs += kRetryPeriodUs;
  } else if (status < 0) {
    Log(LogLevel::Error, "capture failed: %s; will rebuild the pipeline",
        HresultText(status).c_str());
    message = "capture failed; recovering";
    reason = "capture failed; retrying";
    retryAtUs += kRetryPeriodUs;
  } else {
    Log(LogLevel::Info, "capture size changed %ux%u -> %ux%u; rebuilding pipeline", sourceWidth,
        sourceHeight, width, height);
    message = "display resolution changed; recovering";
    reason = "source size changed; rebuilding pipeline";
  }
  SendError(kErrorNoDisplay, message);
  streaming_ = false;
  SetState(SessionState::kDegraded, reason);
  retryAtUs_ = retryAtUs;
  Log(LogLevel::Info, "capture loop stopped");
}

}  // namespace veyra

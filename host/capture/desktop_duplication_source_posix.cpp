// Natively the desktop is an X display: the source mirrors the monitor of
// DISPLAY that --output names, through X11ScreenCapture. Without a display
// the source fails to open, which the session and the probe handle as "no
// capture".

#include "host/base/clock.h"
#include "host/base/status_codes.h"
#include "host/base/utf_conversion.h"
#include "host/capture/desktop_duplication_source.h"
#include "host/capture/x11_screen_capture_posix.h"

namespace veyra {

struct DesktopDuplicationSource::State {
  explicit State(GraphicsContext& graphics) : capture(graphics) {}
  X11ScreenCapture capture;
  bool open = false;
};

DesktopDuplicationSource::DesktopDuplicationSource(GraphicsContext& graphics,
                                                   std::uint32_t outputIndex)
    : graphics_(graphics), outputIndex_(outputIndex), state_(std::make_unique<State>(graphics)) {}

DesktopDuplicationSource::~DesktopDuplicationSource() { Close(); }

const char* DesktopDuplicationSource::Name() const { return "x11"; }

std::int32_t DesktopDuplicationSource::Open() {
  if (!graphics_.initialised()) return status::kInvalidStateHresult;
  Close();
  const std::int32_t result = state_->capture.Open(outputIndex_);
  if (result != status::kSOk) return result;
  state_->open = true;
  width_ = state_->capture.width();
  height_ = state_->capture.height();
  deviceName_ = WideFromUtf8(state_->capture.monitor().name);
  return status::kSOk;
}

void DesktopDuplicationSource::Close() {
  ReleaseFrame();
  state_->capture.Close();
  state_->open = false;
  deviceName_.clear();
}

std::int32_t DesktopDuplicationSource::AcquireFrame(CapturedFrame* frame, std::uint32_t timeoutMs) {
  if (!state_->open) return status::kInvalidStateHresult;
  ReleaseFrame();
  Texture texture;
  const std::int32_t result = state_->capture.Acquire(&texture, timeoutMs);
  if (result == status::kDxgiErrorAccessLost) {
    // The display went away or the monitor vanished: the session rebuilds
    // the pipeline, which opens the source again.
    Close();
    return result;
  }
  if (result != status::kSOk) return result;
  frameHeld_ = true;
  frame->texture = std::move(texture);
  frame->captureTimeUs = NowUs();
  frame->width = frame->texture.width;
  frame->height = frame->texture.height;
  return status::kSOk;
}

void DesktopDuplicationSource::ReleaseFrame() { frameHeld_ = false; }

}  // namespace veyra

#include "host/capture/synthetic_source.h"

#include <algorithm>

#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"

namespace veyra {

namespace synthetic {

std::uint32_t BandLeft(std::uint32_t counter, std::uint32_t width) {
  const std::uint32_t range = width > kBandWidthPx ? width - kBandWidthPx : 1;
  // The product is taken in 64 bits: counter * 37 wraps 32 bits after about
  // 116 million frames, which would make the band jump.
  return static_cast<std::uint32_t>((static_cast<std::uint64_t>(counter) * kBandStepPx) % range);
}

std::uint32_t BandWidth(std::uint32_t width) { return std::min(width, kBandWidthPx); }

std::uint64_t NextDeadline(std::uint64_t deadlineUs, std::uint64_t nowUs,
                           std::uint64_t intervalUs) {
  if (nowUs <= deadlineUs + intervalUs) return deadlineUs + intervalUs;
  return nowUs + intervalUs;
}

std::int32_t AwaitFrameSlot(PacingClock& clock, std::uint64_t& deadlineUs, std::uint32_t fps,
                            std::uint32_t timeoutMs) {
  const std::uint64_t intervalUs = 1000000u / fps;
  const std::uint64_t nowUs = clock.NowUs();
  if (nowUs < deadlineUs) {
    const std::uint64_t waitUs = deadlineUs - nowUs;
    if (waitUs > static_cast<std::uint64_t>(timeoutMs) * 1000u) return status::kSFalse;
    clock.SleepUs(waitUs);
  }
  deadlineUs = NextDeadline(deadlineUs, nowUs, intervalUs);
  return status::kSOk;
}

}  // namespace synthetic

namespace {
constexpr std::uint32_t kBandRowPitchBytes = synthetic::kBandWidthPx * 4;
constexpr std::uint32_t kOpaqueWhite = 0xFFFFFFFFu;
}  // namespace

SyntheticSource::SyntheticSource(GraphicsContext& graphics, std::uint32_t width,
                                 std::uint32_t height, std::uint32_t fps, PacingClock* clock)
    : graphics_(graphics),
      width_(width),
      height_(height),
      fps_(std::max<std::uint32_t>(fps, 1)),
      clock_(clock != nullptr ? clock : &systemClock_) {}

SyntheticSource::~SyntheticSource() { Close(); }

std::int32_t SyntheticSource::Open() {
  texture_ = Texture{};
  const std::int32_t status =
      graphics_.CreateTexture(width_, height_, PixelFormat::kBgra, &texture_);
  if (status != status::kSOk) {
    Log(LogLevel::Error, "%s failed: %s", "CreateTexture2D(synthetic)",
        HresultText(status).c_str());
    texture_ = Texture{};
    return status;
  }
  band_.assign(static_cast<std::size_t>(synthetic::kBandWidthPx) * height_, kOpaqueWhite);
  deadlineUs_ = clock_->NowUs();
  Log(LogLevel::Info, "synthetic source %ux%u @%u", width_, height_, fps_);
  return status::kSOk;
}

void SyntheticSource::Close() { texture_ = Texture{}; }

std::int32_t SyntheticSource::AcquireFrame(CapturedFrame* frame, std::uint32_t timeoutMs) {
  if (!texture_) return status::kInvalidStateHresult;
  if (synthetic::AwaitFrameSlot(*clock_, deadlineUs_, fps_, timeoutMs) != status::kSOk) {
    return status::kSFalse;
  }

  const std::uint32_t left = synthetic::BandLeft(counter_, width_);
  const std::uint32_t right = left + synthetic::BandWidth(width_);
  const std::int32_t status =
      graphics_.WritePixels(texture_, left, right, height_, band_.data(), kBandRowPitchBytes);
  if (status != status::kSOk) {
    Log(LogLevel::Error, "%s failed: %s", "UpdateSubresource(synthetic)",
        HresultText(status).c_str());
    return status;
  }
  ++counter_;
  frame->texture = texture_;
  frame->captureTimeUs = clock_->NowUs();
  frame->width = width_;
  frame->height = height_;
  return status::kSOk;
}

}  // namespace veyra

#include "host/capture/noise_source.h"

#include <algorithm>
#include <random>

#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/capture/synthetic_source.h"

namespace veyra {
namespace {
constexpr std::uint32_t kOpaqueGrey = 0xFF808080u;
}  // namespace

NoiseSource::NoiseSource(GraphicsContext& graphics, std::uint32_t width, std::uint32_t height,
                         std::uint32_t fps, PacingClock* clock)
    : graphics_(graphics),
      width_(width),
      height_(height),
      fps_(std::max<std::uint32_t>(fps, 1)),
      bandWidth_(std::clamp<std::uint32_t>(width / 4, 1, std::max<std::uint32_t>(width, 1))),
      clock_(clock != nullptr ? clock : &systemClock_) {}

NoiseSource::~NoiseSource() { Close(); }

std::int32_t NoiseSource::Open() {
  texture_ = Texture{};
  std::int32_t status = graphics_.CreateTexture(width_, height_, PixelFormat::kBgra, &texture_);
  if (status == status::kSOk) {
    background_.assign(static_cast<std::size_t>(width_) * height_, kOpaqueGrey);
    status = graphics_.WritePixels(texture_, 0, width_, height_, background_.data(), width_ * 4);
  }
  if (status != status::kSOk) {
    Log(LogLevel::Error, "%s failed: %s", "CreateTexture2D(noise)", HresultText(status).c_str());
    texture_ = Texture{};
    return status;
  }
  std::mt19937 random(7);
  noise_.resize(static_cast<std::size_t>(bandWidth_) * height_ * 2);
  for (std::uint32_t& pixel : noise_) {
    pixel = static_cast<std::uint32_t>(random()) | 0xFF000000u;
  }
  deadlineUs_ = clock_->NowUs();
  Log(LogLevel::Info, "noise source %ux%u @%u", width_, height_, fps_);
  return status::kSOk;
}

void NoiseSource::Close() { texture_ = Texture{}; }

std::int32_t NoiseSource::AcquireFrame(CapturedFrame* frame, std::uint32_t timeoutMs) {
  if (!texture_) return status::kInvalidStateHresult;
  if (synthetic::AwaitFrameSlot(*clock_, deadlineUs_, fps_, timeoutMs) != status::kSOk) {
    return status::kSFalse;
  }

  // The last band goes back to grey, then the new one is drawn from a
  // window of the noise that no recent frame showed.
  const std::uint32_t range = width_ > bandWidth_ ? width_ - bandWidth_ : 1;
  const std::uint32_t left =
      static_cast<std::uint32_t>((static_cast<std::uint64_t>(counter_) * kStepPx) % range);
  const std::uint32_t* pixels =
      noise_.data() + (static_cast<std::size_t>(counter_) * 7919) % (noise_.size() / 2);
  std::int32_t status = graphics_.WritePixels(texture_, lastLeft_, lastLeft_ + bandWidth_, height_,
                                              background_.data(), bandWidth_ * 4);
  if (status == status::kSOk) {
    status =
        graphics_.WritePixels(texture_, left, left + bandWidth_, height_, pixels, bandWidth_ * 4);
  }
  if (status != status::kSOk) {
    Log(LogLevel::Error, "%s failed: %s", "UpdateSubresource(noise)", HresultText(status).c_str());
    return status;
  }
  lastLeft_ = left;
  ++counter_;
  frame->texture = texture_;
  frame->captureTimeUs = clock_->NowUs();
  frame->width = width_;
  frame->height = height_;
  return status::kSOk;
}

}  // namespace veyra

#pragma once

#include <cstdint>
#include <vector>

#include "host/capture/capture_source.h"
#include "host/capture/graphics_context.h"
#include "host/capture/pacing_clock.h"

namespace veyra {

// A picture that keeps the encoder at its rate limit, for measuring the
// stream on a slow link: a band a quarter of the picture wide, of fresh
// noise every frame, moving 61 pixels a frame across a grey picture. The
// noise is drawn once at Open and a different window of it is shown each
// frame, so a frame costs one copy, not a random number per pixel. Paced to
// the frame rate as SyntheticSource is. Threads as ICaptureSource.
class NoiseSource final : public ICaptureSource {
 public:
  static constexpr std::uint32_t kStepPx = 61;

  // |clock| must outlive the source; nullptr uses the host's clock.
  NoiseSource(GraphicsContext& graphics, std::uint32_t width, std::uint32_t height,
              std::uint32_t fps, PacingClock* clock = nullptr);
  ~NoiseSource() override;

  std::int32_t Open() override;
  void Close() override;
  std::int32_t AcquireFrame(CapturedFrame* frame, std::uint32_t timeoutMs) override;
  void ReleaseFrame() override {}
  std::uint32_t Width() const override { return width_; }
  std::uint32_t Height() const override { return height_; }
  const char* Name() const override { return "noise"; }

 private:
  GraphicsContext& graphics_;
  std::uint32_t width_;
  std::uint32_t height_;
  std::uint32_t fps_;        // at least 1
  std::uint32_t bandWidth_;  // at least 1, at most width_
  Texture texture_;
  std::vector<std::uint32_t> background_;  // the grey the band leaves behind
  std::vector<std::uint32_t> noise_;       // two bands' worth
  std::uint64_t deadlineUs_ = 0;
  std::uint32_t counter_ = 0;
  std::uint32_t lastLeft_ = 0;
  SystemPacingClock systemClock_;
  PacingClock* clock_;
};

}  // namespace veyra

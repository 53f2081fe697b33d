#pragma once

#include <cstdint>
#include <vector>

#include "host/capture/capture_source.h"
#include "host/capture/graphics_context.h"
#include "host/capture/pacing_clock.h"

namespace veyra {

namespace synthetic {

inline constexpr std::uint32_t kBandWidthPx = 96;
inline constexpr std::uint32_t kBandStepPx = 37;

// Left edge of the band drawn for frame |counter|: counter * 37 modulo
// (width - 96), or 0 when the picture is 96 pixels wide or less.
std::uint32_t BandLeft(std::uint32_t counter, std::uint32_t width);

// Width of the band: 96 pixels, cut to the picture when it is narrower, so
// that the drawing box always stays inside the texture.
std::uint32_t BandWidth(std::uint32_t width);

// The deadline after a frame taken at |nowUs|: one interval after the old
// deadline while the caller keeps up, one interval after now when it came
// more than one interval late (pacing restarts instead of bursting).
std::uint64_t NextDeadline(std::uint64_t deadlineUs, std::uint64_t nowUs, std::uint64_t intervalUs);

// Paces a source to |fps|: sleeps until |deadlineUs| and moves it on (0),
// or returns 1 at once when that is further away than |timeoutMs|.
std::int32_t AwaitFrameSlot(PacingClock& clock, std::uint64_t& deadlineUs, std::uint32_t fps,
                            std::uint32_t timeoutMs);

}  // namespace synthetic

// A moving test pattern for diagnosing the pipeline without a desktop:
// white bands, 96 pixels wide and the full height, drawn 37 pixels further
// right each frame and never cleared, so they accumulate. Paced to the frame
// rate. Threads as ICaptureSource.
class SyntheticSource final : public ICaptureSource {
 public:
  // |clock| must outlive the source; nullptr uses the host's clock.
  SyntheticSource(GraphicsContext& graphics, std::uint32_t width, std::uint32_t height,
                  std::uint32_t fps, PacingClock* clock = nullptr);
  ~SyntheticSource() override;

  std::int32_t Open() override;
  void Close() override;
  std::int32_t AcquireFrame(CapturedFrame* frame, std::uint32_t timeoutMs) override;
  void ReleaseFrame() override {}
  std::uint32_t Width() const override { return width_; }
  std::uint32_t Height() const override { return height_; }
  const char* Name() const override { return "synthetic"; }

 private:
  GraphicsContext& graphics_;
  std::uint32_t width_;
  std::uint32_t height_;
  std::uint32_t fps_;  // at least 1
  Texture texture_;
  std::vector<std::uint32_t> band_;  // kBandWidthPx x height_ opaque white
  std::uint64_t deadlineUs_ = 0;
  std::uint32_t counter_ = 0;
  SystemPacingClock systemClock_;
  PacingClock* clock_;
};

}  // namespace veyra

#pragma once

#include <cstdint>
#include <memory>

#include "host/capture/capture_source.h"
#include "host/capture/graphics_context.h"

namespace veyra {

// Mirrors one monitor of the context's adapter. Natively there are no
// monitors: every output is reported missing. Threads as ICaptureSource.
class DesktopDuplicationSource final : public ICaptureSource {
 public:
  DesktopDuplicationSource(GraphicsContext& graphics, std::uint32_t outputIndex);
  ~DesktopDuplicationSource() override;

  std::int32_t Open() override;
  void Close() override;
  std::int32_t AcquireFrame(CapturedFrame* frame, std::uint32_t timeoutMs) override;
  void ReleaseFrame() override;
  std::uint32_t Width() const override { return width_; }
  std::uint32_t Height() const override { return height_; }
  const char* Name() const override { return "desktop-duplication"; }

 private:
  GraphicsContext& graphics_;
  std::uint32_t outputIndex_;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  bool frameHeld_ = false;
};

}  // namespace veyra

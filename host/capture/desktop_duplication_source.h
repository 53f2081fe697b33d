#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/capture/capture_source.h"
#include "host/capture/graphics_context.h"
#include "host/capture/output_rotation.h"

namespace veyra {

// Mirrors one monitor of the context's adapter; natively one monitor of the
// X display named by DISPLAY. Threads as ICaptureSource.
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
  // "desktop-duplication" on Windows, "x11" natively.
  const char* Name() const override;
  std::wstring OutputDeviceName() const override { return deviceName_; }

  // The open output's: its frames are the mode's unturned image.
  OutputRotation Rotation() const override { return rotation_; }

 private:
  // The back end's duplication objects; empty while closed.
  struct State;

  GraphicsContext& graphics_;
  std::uint32_t outputIndex_;
  std::unique_ptr<State> state_;
  // The size of the image delivered, which for an output turned by 90 or
  // 270 degrees is its desktop size swapped.
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  OutputRotation rotation_ = OutputRotation::kIdentity;
  bool frameHeld_ = false;
  std::wstring deviceName_;  // of the open output
};

}  // namespace veyra

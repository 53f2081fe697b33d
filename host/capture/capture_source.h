#pragma once

#include <cstdint>
#include <string>

#include "host/capture/output_rotation.h"
#include "host/capture/texture.h"

namespace veyra {

// One frame handed out by AcquireFrame.
struct CapturedFrame {
  Texture texture;  // BGRA, on the capture device
  std::uint64_t captureTimeUs = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // The system blacked out protected content (a DRM video, a window that
  // excludes itself from capture) in this picture.
  bool protectedContentMasked = false;
  // The source keeps this picture, unchanged, until it hands out its next
  // frame: a reference to it is as good as a copy.
  bool stable = false;
};

// A source of the PC's picture, one frame at a time. Used by one thread at a
// time: Open and Close by the session while it builds or tears down the
// pipeline, AcquireFrame and ReleaseFrame by the capture thread.
class ICaptureSource {
 public:
  // Releases everything the source holds, a held frame first.
  virtual ~ICaptureSource() = default;

  virtual std::int32_t Open() = 0;
  virtual void Close() = 0;

  // 0 with a new frame in |frame|; 1 when none came within |timeoutMs|;
  // negative on failure (the invalid-state status when not open). After a 0
  // the caller calls ReleaseFrame once it is done with the frame, before the
  // next AcquireFrame.
  virtual std::int32_t AcquireFrame(CapturedFrame* frame, std::uint32_t timeoutMs) = 0;
  virtual void ReleaseFrame() = 0;

  // The frame size; 0 until known.
  virtual std::uint32_t Width() const = 0;
  virtual std::uint32_t Height() const = 0;

  // "desktop-duplication" or "synthetic".
  virtual const char* Name() const = 0;

  // How the monitor's desktop is turned against the frames' pictures: a
  // frame must be turned clockwise by this to stand upright.
  virtual OutputRotation Rotation() const { return OutputRotation::kIdentity; }

  // The display device name of the monitor the open source mirrors
  // ("\\.\DISPLAY2"), so that input lands on the same monitor; empty when
  // the source mirrors no monitor.
  virtual std::wstring OutputDeviceName() const { return {}; }
};

}  // namespace veyra

#pragma once

#include <d3d11.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <vector>

#include "host/capture/pointer_shape.h"

namespace veyra {

// Puts the pointer into duplicated desktop images, which never contain it
// (Microsoft's "Desktop Duplication API" page, "Updating the desktop
// pointer"). Keeps a copy of the last desktop image, so that a frame where
// only the pointer moved is drawn from it, and a picture texture that is the
// copy with the pointer drawn in.
//
// The pointer is blended on the CPU: the few pixels under it are copied
// into a small staging texture, read back, blended by BlendPointer and
// written into the picture. Monochrome and masked-colour shapes exclusive-or
// into the desktop, which the fixed-function output merger cannot do and
// this host has no shaders for; the rectangle is at most the shape's size
// (typically 32 x 32 to 64 x 64 pixels), so the one read-back per frame is
// small, and the drawing is the same tested code the native capture uses.
//
// Threads: the capture thread's, like its source.
class PointerOverlay {
 public:
  // The texture to hand out for this frame: the desktop copy when the
  // pointer is off the picture, the picture otherwise. |desktop| is the
  // newly acquired image, or nullptr when only the pointer changed. Fails
  // when there is no desktop image yet or a texture cannot be made.
  HRESULT Compose(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11Texture2D* desktop,
                  const PointerShape& shape, const PointerState& pointer,
                  Microsoft::WRL::ComPtr<ID3D11Texture2D>* frame);

  bool hasDesktop() const { return desktop_ != nullptr; }
  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }

  void Reset();

 private:
  HRESULT KeepDesktop(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11Texture2D* desktop);
  HRESULT EnsureStaging(ID3D11Device* device, std::uint32_t width, std::uint32_t height);

  Microsoft::WRL::ComPtr<ID3D11Texture2D> desktop_;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> picture_;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> staging_;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::uint32_t stagingWidth_ = 0;
  std::uint32_t stagingHeight_ = 0;
  std::vector<std::uint8_t> pixels_;  // the rectangle under the pointer, tightly packed
};

}  // namespace veyra

#pragma once

#include <d3d11.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <vector>

#include "host/capture/hdr_tone_map_win.h"
#include "host/capture/pointer_blend.h"
#include "host/capture/pointer_readback_win.h"
#include "host/capture/pointer_shape.h"
#include "host/capture/quad_pass_win.h"
#include "host/capture/rect_texture_win.h"

namespace veyra {

// Puts the pointer into duplicated desktop images, which never contain it
// (Microsoft's "Desktop Duplication API" page, "Updating the desktop
// pointer"). Keeps one picture: the last desktop image with the pointer
// drawn in, plus the few pixels the pointer covers ("save-under"), so
// that a frame where only the pointer moved puts those back and draws the
// pointer anew, without a full-frame copy. A new desktop image costs the
// one full copy (or, for an HDR desktop, the tone-mapping draw) into it.
//
// A colour pointer is drawn on the GPU: its shape is a small texture,
// drawn over the picture by its alpha. Monochrome and masked-colour shapes
// invert the desktop (AND/XOR), which the output merger cannot do on BGRA;
// for them the rectangle under the pointer is read back without waiting
// for the GPU (PointerReadback), blended by BlendPointer, the one copy of
// those rules, and written back. While a read-back is still on the GPU
// the pointer is drawn from the last pixels that did come back, at the
// place they came from (the pointer a moment ago), as long as they are of
// the same desktop image: pixels of an older image would paste old content
// into the new one, so then the frame goes without the pointer. Either way
// the pointer is owed: Redraw draws it once its pixels are there.
//
// Threads: the capture thread's, like its source.
class PointerOverlay {
 public:
  // The picture for this frame. |desktop| is the newly acquired image (BGRA,
  // or R16G16B16A16_FLOAT from an HDR desktop), or nullptr when only the
  // pointer changed. Fails when there is no desktop image yet or the
  // picture cannot be made.
  HRESULT Compose(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11Texture2D* desktop,
                  const PointerShape& shape, const PointerState& pointer,
                  Microsoft::WRL::ComPtr<ID3D11Texture2D>* frame);

  // The last frame's pointer was drawn from older pixels.
  bool pointerOwed() const { return owed_; }

  // Draws an owed pointer once its read-back has landed: S_OK with the
  // picture; S_FALSE, changing nothing, while it has not or when nothing
  // is owed. |shape| is the one last composed.
  HRESULT Redraw(ID3D11Device* device, ID3D11DeviceContext* context, const PointerShape& shape,
                 Microsoft::WRL::ComPtr<ID3D11Texture2D>* frame);

  // For HDR desktops: what scRGB values are multiplied by (SdrWhiteScale).
  void SetSdrWhiteScale(float scale) { toneMap_.SetScale(scale); }
  // Whether HDR desktop images can be tone-mapped on |device|; without it
  // the source duplicates an HDR desktop as SDR.
  bool PrepareToneMap(ID3D11Device* device) {
    return SUCCEEDED(toneMap_.Prepare(device, compiler_));
  }

  bool hasDesktop() const { return picture_ != nullptr; }
  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }

  void Reset();

 private:
  // Pixels read back from under the pointer, before it was drawn.
  struct CleanPixels {
    PixelRect rect;
    PointerState pointer;  // where the pointer was then
    std::vector<std::uint8_t> pixels;
    std::uint64_t generation = 0;  // of the desktop image they came from
  };

  void ResetPicture();
  HRESULT TakeDesktop(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11Texture2D* desktop);
  bool SaveUnder(ID3D11Device* device, ID3D11DeviceContext* context, const PixelRect& rect);
  void RestoreUnder(ID3D11DeviceContext* context);
  void DrawPointer(ID3D11Device* device, ID3D11DeviceContext* context, const PointerShape& shape);
  bool DrawColourOnGpu(ID3D11Device* device, ID3D11DeviceContext* context,
                       const PointerShape& shape, const PixelRect& rect);
  bool UploadShape(ID3D11Device* device, const PointerShape& shape);
  void DrawFromReadback(ID3D11Device* device, ID3D11DeviceContext* context,
                        const PointerShape& shape, const PixelRect& rect);
  void Paint(ID3D11Device* device, ID3D11DeviceContext* context, const PointerShape& shape,
             const CleanPixels& clean);

  ShaderCompiler compiler_;
  HdrToneMap toneMap_;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> picture_;
  Microsoft::WRL::ComPtr<ID3D11RenderTargetView> target_;  // of picture_
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
  std::uint64_t generation_ = 0;  // desktop images taken into picture_
  PointerState pointer_;          // the one last composed

  // Save-under: the picture's pixels at |underRect_| before the pointer.
  RectTexture under_{false};
  PixelRect underRect_;  // empty when nothing is drawn over the picture

  QuadPass colourPass_;
  bool colourFailed_ = false;  // the GPU pass cannot be built here; not tried again
  Microsoft::WRL::ComPtr<ID3D11ShaderResourceView> shapeView_;
  PointerShape uploaded_;  // the shape behind shapeView_

  PointerReadback readback_;
  PointerState requested_;  // the pointer whose pixels readback_ holds
  CleanPixels clean_;       // the last pixels read back
  std::vector<std::uint8_t> scratch_;
  bool owed_ = false;
};

}  // namespace veyra

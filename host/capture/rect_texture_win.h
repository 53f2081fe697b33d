#pragma once

#include <d3d11.h>
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdint>

#include "host/capture/texture_desc_win.h"

namespace veyra {

// A small BGRA texture for rectangles cut from a picture (the pixels under
// the pointer), grown to the largest rectangle asked for and never shrunk:
// pointer shapes come in a few sizes, and a new texture a frame would be
// waste. A staging one is what the CPU maps to read.
class RectTexture {
 public:
  explicit RectTexture(bool staging) : staging_(staging) {}

  // Makes sure it holds |width| x |height|; the creation's failure, with
  // nothing held, otherwise.
  HRESULT Hold(ID3D11Device* device, std::uint32_t width, std::uint32_t height) {
    if (texture_ && width <= width_ && height <= height_) return S_OK;
    D3D11_TEXTURE2D_DESC desc = TextureDesc(std::max(width, width_), std::max(height, height_),
                                            DXGI_FORMAT_B8G8R8A8_UNORM, 0);
    if (staging_) desc = StagingDesc(desc);
    Reset();
    const HRESULT result = device->CreateTexture2D(&desc, nullptr, texture_.GetAddressOf());
    if (SUCCEEDED(result)) {
      width_ = desc.Width;
      height_ = desc.Height;
    }
    return result;
  }

  ID3D11Texture2D* get() const { return texture_.Get(); }

  void Reset() {
    texture_.Reset();
    width_ = height_ = 0;
  }

 private:
  bool staging_;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> texture_;
  std::uint32_t width_ = 0;
  std::uint32_t height_ = 0;
};

}  // namespace veyra

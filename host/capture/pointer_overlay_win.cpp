#include "host/capture/pointer_overlay_win.h"

#include <algorithm>
#include <cstring>

#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/capture/pointer_blend.h"
#include "host/capture/texture_desc_win.h"

namespace veyra {

using Microsoft::WRL::ComPtr;

namespace {

constexpr std::uint32_t kBytesPerPixel = 4;

D3D11_TEXTURE2D_DESC BgraDesc(std::uint32_t width, std::uint32_t height) {
  // Read by the video processor and copied like the duplicated image.
  return TextureDesc(width, height, DXGI_FORMAT_B8G8R8A8_UNORM,
                     D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET);
}

}  // namespace

void PointerOverlay::Reset() {
  desktop_.Reset();
  picture_.Reset();
  staging_.Reset();
  width_ = height_ = stagingWidth_ = stagingHeight_ = 0;
}

HRESULT PointerOverlay::KeepDesktop(ID3D11Device* device, ID3D11DeviceContext* context,
                                    ID3D11Texture2D* desktop) {
  // The duplicated image's own size, which after a mode change may differ
  // from the one recorded when the duplication was opened.
  D3D11_TEXTURE2D_DESC source{};
  desktop->GetDesc(&source);
  if (!desktop_ || source.Width != width_ || source.Height != height_) {
    desktop_.Reset();
    picture_.Reset();
    const D3D11_TEXTURE2D_DESC desc = BgraDesc(source.Width, source.Height);
    HRESULT result = device->CreateTexture2D(&desc, nullptr, desktop_.GetAddressOf());
    if (SUCCEEDED(result))
      result = device->CreateTexture2D(&desc, nullptr, picture_.GetAddressOf());
    if (FAILED(result)) {
      Log(LogLevel::Error, "desktop copy of %ux%u failed: %s", source.Width, source.Height,
          HresultText(result).c_str());
      desktop_.Reset();
      picture_.Reset();
      width_ = height_ = 0;
      return result;
    }
    width_ = source.Width;
    height_ = source.Height;
  }
  context->CopyResource(desktop_.Get(), desktop);
  return S_OK;
}

HRESULT PointerOverlay::EnsureStaging(ID3D11Device* device, std::uint32_t width,
                                      std::uint32_t height) {
  if (staging_ && stagingWidth_ >= width && stagingHeight_ >= height) return S_OK;
  staging_.Reset();
  const D3D11_TEXTURE2D_DESC desc =
      StagingDesc(BgraDesc(std::max(width, stagingWidth_), std::max(height, stagingHeight_)));
  const HRESULT result = device->CreateTexture2D(&desc, nullptr, staging_.GetAddressOf());
  if (FAILED(result)) {
    stagingWidth_ = stagingHeight_ = 0;
    return result;
  }
  stagingWidth_ = desc.Width;
  stagingHeight_ = desc.Height;
  return S_OK;
}

HRESULT PointerOverlay::Compose(ID3D11Device* device, ID3D11DeviceContext* context,
                                ID3D11Texture2D* desktop, const PointerShape& shape,
                                const PointerState& pointer, ComPtr<ID3D11Texture2D>* frame) {
  if (desktop != nullptr) {
    const HRESULT result = KeepDesktop(device, context, desktop);
    if (FAILED(result)) return result;
  }
  if (!desktop_) return E_FAIL;

  const PixelRect rect = PointerRect(shape, pointer, width_, height_);
  if (rect.empty()) {
    *frame = desktop_;
    return S_OK;
  }
  HRESULT result = EnsureStaging(device, rect.width(), rect.height());
  if (FAILED(result)) {
    // The frame goes out without its pointer rather than not at all.
    Log(LogLevel::Warn, "pointer staging texture failed: %s", HresultText(result).c_str());
    *frame = desktop_;
    return S_OK;
  }
  const D3D11_BOX box{rect.left, rect.top, 0, rect.right, rect.bottom, 1};
  context->CopySubresourceRegion(staging_.Get(), 0, 0, 0, 0, desktop_.Get(), 0, &box);
  D3D11_MAPPED_SUBRESOURCE mapped{};
  result = context->Map(staging_.Get(), 0, D3D11_MAP_READ, 0, &mapped);
  if (FAILED(result)) {
    Log(LogLevel::Warn, "pointer read-back failed: %s", HresultText(result).c_str());
    *frame = desktop_;
    return S_OK;
  }
  const std::uint32_t rowBytes = rect.width() * kBytesPerPixel;
  pixels_.resize(std::size_t{rowBytes} * rect.height());
  for (std::uint32_t row = 0; row < rect.height(); ++row) {
    std::memcpy(pixels_.data() + std::size_t{row} * rowBytes,
                static_cast<const std::uint8_t*>(mapped.pData) + std::size_t{row} * mapped.RowPitch,
                rowBytes);
  }
  context->Unmap(staging_.Get(), 0);

  const PointerState local{true, pointer.x - static_cast<std::int32_t>(rect.left),
                           pointer.y - static_cast<std::int32_t>(rect.top)};
  BlendPointer(shape, local, pixels_.data(), rect.width(), rect.height(), rowBytes);
  context->CopyResource(picture_.Get(), desktop_.Get());
  context->UpdateSubresource(picture_.Get(), 0, &box, pixels_.data(), rowBytes, 0);
  *frame = picture_;
  return S_OK;
}

}  // namespace veyra

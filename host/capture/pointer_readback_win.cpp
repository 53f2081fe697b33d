#include "host/capture/pointer_readback_win.h"

#include <cstring>

#include "host/base/hresult_text.h"
#include "host/base/log.h"

namespace veyra {

namespace {

constexpr std::uint32_t kBytesPerPixel = 4;

}  // namespace

void PointerReadback::Reset() {
  staging_.Reset();
  pending_ = false;
}

HRESULT PointerReadback::Request(ID3D11Device* device, ID3D11DeviceContext* context,
                                 ID3D11Texture2D* picture, const Key& key) {
  pending_ = false;
  const PixelRect& rect = key.rect;
  const HRESULT result = staging_.Hold(device, rect.width(), rect.height());
  if (FAILED(result)) {
    Log(LogLevel::Warn, "pointer staging texture failed: %s", HresultText(result).c_str());
    return result;
  }
  const D3D11_BOX box{rect.left, rect.top, 0, rect.right, rect.bottom, 1};
  context->CopySubresourceRegion(staging_.get(), 0, 0, 0, 0, picture, 0, &box);
  // Submitted now, so that the copy runs while the frame is converted and
  // a later TryTake finds it done.
  context->Flush();
  key_ = key;
  pending_ = true;
  return S_OK;
}

bool PointerReadback::TryTake(ID3D11DeviceContext* context, std::vector<std::uint8_t>* pixels) {
  if (!pending_) return false;
  D3D11_MAPPED_SUBRESOURCE mapped{};
  const HRESULT result =
      context->Map(staging_.get(), 0, D3D11_MAP_READ, D3D11_MAP_FLAG_DO_NOT_WAIT, &mapped);
  if (result == DXGI_ERROR_WAS_STILL_DRAWING) return false;
  if (FAILED(result)) {
    Log(LogLevel::Warn, "pointer read-back failed: %s", HresultText(result).c_str());
    pending_ = false;
    return false;
  }
  const PixelRect& rect = key_.rect;
  const std::uint32_t rowBytes = rect.width() * kBytesPerPixel;
  pixels->resize(std::size_t{rowBytes} * rect.height());
  for (std::uint32_t row = 0; row < rect.height(); ++row) {
    std::memcpy(pixels->data() + std::size_t{row} * rowBytes,
                static_cast<const std::uint8_t*>(mapped.pData) + std::size_t{row} * mapped.RowPitch,
                rowBytes);
  }
  context->Unmap(staging_.get(), 0);
  pending_ = false;
  return true;
}

}  // namespace veyra

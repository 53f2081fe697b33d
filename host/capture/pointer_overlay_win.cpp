#include "host/capture/pointer_overlay_win.h"

#include <bit>

#include "host/base/hresult_text.h"
#include "host/base/log.h"
#include "host/capture/texture_desc_win.h"

namespace veyra {

using Microsoft::WRL::ComPtr;

namespace {

constexpr std::uint32_t kBytesPerPixel = 4;

// The shape's own pixel under each covered pixel of the picture; the
// viewport starts at the shape's top-left corner, |origin|.
constexpr char kColourPointerShader[] = R"(
Texture2D<float4> shape : register(t0);
cbuffer Place : register(b0) { int2 origin; int2 unused; };
float4 main(float4 position : SV_Position) : SV_Target {
  return shape.Load(int3(int2(position.xy) - origin, 0));
}
)";

bool SameShape(const PointerShape& a, const PointerShape& b) {
  return a.kind == b.kind && a.width == b.width && a.height == b.height && a.pitch == b.pitch &&
         a.pixels == b.pixels;
}

D3D11_BOX BoxOf(const PixelRect& rect) {
  return {rect.left, rect.top, 0, rect.right, rect.bottom, 1};
}

}  // namespace

void PointerOverlay::Reset() {
  // The passes belong to the device, which may be another after Open.
  ResetPicture();
  colourPass_ = QuadPass{};
  colourFailed_ = false;
  toneMap_.Reset();
}

void PointerOverlay::ResetPicture() {
  picture_.Reset();
  target_.Reset();
  under_.Reset();
  shapeView_.Reset();
  uploaded_ = PointerShape{};
  readback_.Reset();
  clean_ = CleanPixels{};
  width_ = height_ = 0;
  underRect_ = {};
  owed_ = false;
}

HRESULT PointerOverlay::TakeDesktop(ID3D11Device* device, ID3D11DeviceContext* context,
                                    ID3D11Texture2D* desktop) {
  // The duplicated image's own size, which after a mode change may differ
  // from the one recorded when the duplication was opened.
  D3D11_TEXTURE2D_DESC source{};
  desktop->GetDesc(&source);
  if (!picture_ || source.Width != width_ || source.Height != height_) {
    ResetPicture();
    // Read by the video processor, drawn on by the GPU passes.
    const D3D11_TEXTURE2D_DESC desc =
        TextureDesc(source.Width, source.Height, DXGI_FORMAT_B8G8R8A8_UNORM,
                    D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET);
    HRESULT result = device->CreateTexture2D(&desc, nullptr, picture_.GetAddressOf());
    if (SUCCEEDED(result)) {
      result = device->CreateRenderTargetView(picture_.Get(), nullptr, target_.GetAddressOf());
    }
    if (FAILED(result)) {
      Log(LogLevel::Error, "desktop copy of %ux%u failed: %s", source.Width, source.Height,
          HresultText(result).c_str());
      ResetPicture();
      return result;
    }
    width_ = source.Width;
    height_ = source.Height;
  }
  ++generation_;
  underRect_ = {};  // the whole picture is replaced
  if (source.Format == DXGI_FORMAT_R16G16B16A16_FLOAT) {
    return toneMap_.Draw(device, context, compiler_, desktop, target_.Get(), width_, height_);
  }
  context->CopyResource(picture_.Get(), desktop);
  return S_OK;
}

bool PointerOverlay::SaveUnder(ID3D11Device* device, ID3D11DeviceContext* context,
                               const PixelRect& rect) {
  const HRESULT result = under_.Hold(device, rect.width(), rect.height());
  if (FAILED(result)) {
    // Drawing without a way back would leave a trail of pointers.
    Log(LogLevel::Warn, "pointer save-under texture failed: %s", HresultText(result).c_str());
    return false;
  }
  const D3D11_BOX box = BoxOf(rect);
  context->CopySubresourceRegion(under_.get(), 0, 0, 0, 0, picture_.Get(), 0, &box);
  underRect_ = rect;
  return true;
}

void PointerOverlay::RestoreUnder(ID3D11DeviceContext* context) {
  if (underRect_.empty()) return;
  const D3D11_BOX box{0, 0, 0, underRect_.width(), underRect_.height(), 1};
  context->CopySubresourceRegion(picture_.Get(), 0, underRect_.left, underRect_.top, 0,
                                 under_.get(), 0, &box);
  underRect_ = {};
}

HRESULT PointerOverlay::Compose(ID3D11Device* device, ID3D11DeviceContext* context,
                                ID3D11Texture2D* desktop, const PointerShape& shape,
                                const PointerState& pointer, ComPtr<ID3D11Texture2D>* frame) {
  if (desktop != nullptr) {
    const HRESULT result = TakeDesktop(device, context, desktop);
    if (FAILED(result)) return result;
  }
  if (!picture_) return E_FAIL;
  RestoreUnder(context);
  pointer_ = pointer;
  owed_ = false;
  DrawPointer(device, context, shape);
  *frame = picture_;
  return S_OK;
}

void PointerOverlay::DrawPointer(ID3D11Device* device, ID3D11DeviceContext* context,
                                 const PointerShape& shape) {
  // A malformed shape is never drawn; the frame goes out without it.
  const PixelRect rect = PointerRect(shape, pointer_, width_, height_);
  if (rect.empty() || !PointerShapeIsWhole(shape)) return;
  if (shape.kind == PointerShapeKind::kColor && DrawColourOnGpu(device, context, shape, rect)) {
    return;
  }
  DrawFromReadback(device, context, shape, rect);
}

bool PointerOverlay::UploadShape(ID3D11Device* device, const PointerShape& shape) {
  if (shapeView_ && SameShape(uploaded_, shape)) return true;
  shapeView_.Reset();
  const D3D11_TEXTURE2D_DESC desc = TextureDesc(
      shape.width, shape.height, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_BIND_SHADER_RESOURCE);
  const D3D11_SUBRESOURCE_DATA data{shape.pixels.data(), shape.pitch, 0};
  ComPtr<ID3D11Texture2D> texture;
  HRESULT result = device->CreateTexture2D(&desc, &data, texture.GetAddressOf());
  if (SUCCEEDED(result)) {
    result = device->CreateShaderResourceView(texture.Get(), nullptr, shapeView_.GetAddressOf());
  }
  if (FAILED(result)) {
    Log(LogLevel::Warn, "pointer shape texture failed: %s", HresultText(result).c_str());
    shapeView_.Reset();
    return false;
  }
  uploaded_ = shape;
  return true;
}

bool PointerOverlay::DrawColourOnGpu(ID3D11Device* device, ID3D11DeviceContext* context,
                                     const PointerShape& shape, const PixelRect& rect) {
  if (colourFailed_) return false;
  if (!colourPass_.ready() &&
      FAILED(colourPass_.Init(device, compiler_, kColourPointerShader, QuadPass::Blend::kOver))) {
    colourFailed_ = true;  // the read-back path draws colour pointers too
    return false;
  }
  if (!UploadShape(device, shape)) return false;
  if (!SaveUnder(device, context, rect)) return true;
  // The whole shape from its top-left corner, which may lie off the
  // picture; the rasteriser keeps what falls on it.
  const D3D11_VIEWPORT viewport{static_cast<float>(pointer_.x),
                                static_cast<float>(pointer_.y),
                                static_cast<float>(shape.width),
                                static_cast<float>(shape.height),
                                0,
                                1};
  colourPass_.Draw(
      context, shapeView_.Get(), target_.Get(), viewport,
      {std::bit_cast<std::uint32_t>(pointer_.x), std::bit_cast<std::uint32_t>(pointer_.y), 0, 0});
  return true;
}

void PointerOverlay::DrawFromReadback(ID3D11Device* device, ID3D11DeviceContext* context,
                                      const PointerShape& shape, const PixelRect& rect) {
  const PointerReadback::Key key{rect, generation_};
  bool landed = false;
  if (readback_.pending() && readback_.key() == key) {
    landed = readback_.TryTake(context, &scratch_);
  } else {
    // An older read-back that landed meanwhile is the freshest fallback.
    const PointerReadback::Key older = readback_.key();
    if (readback_.TryTake(context, &scratch_)) {
      clean_ = {older.rect, requested_, scratch_, older.generation};
    }
    if (FAILED(readback_.Request(device, context, picture_.Get(), key))) return;
    requested_ = pointer_;
    // Taken at once where the GPU is idle or the device is a software one.
    landed = readback_.TryTake(context, &scratch_);
  }
  if (landed) {
    clean_ = {rect, pointer_, scratch_, generation_};
  } else {
    owed_ = true;
    if (clean_.pixels.empty() || clean_.generation != generation_) return;
  }
  Paint(device, context, shape, clean_);
}

void PointerOverlay::Paint(ID3D11Device* device, ID3D11DeviceContext* context,
                           const PointerShape& shape, const CleanPixels& clean) {
  const PixelRect& rect = clean.rect;
  const std::uint32_t rowBytes = rect.width() * kBytesPerPixel;
  scratch_ = clean.pixels;
  const PointerState local{true, clean.pointer.x - static_cast<std::int32_t>(rect.left),
                           clean.pointer.y - static_cast<std::int32_t>(rect.top)};
  BlendPointer(shape, local, scratch_.data(), rect.width(), rect.height(), rowBytes);
  if (!SaveUnder(device, context, rect)) return;
  const D3D11_BOX box = BoxOf(rect);
  context->UpdateSubresource(picture_.Get(), 0, &box, scratch_.data(), rowBytes, 0);
}

HRESULT PointerOverlay::Redraw(ID3D11Device* device, ID3D11DeviceContext* context,
                               const PointerShape& shape, ComPtr<ID3D11Texture2D>* frame) {
  if (!owed_ || !picture_) return S_FALSE;
  const PixelRect rect = PointerRect(shape, pointer_, width_, height_);
  if (!readback_.pending() || !(readback_.key() == PointerReadback::Key{rect, generation_})) {
    owed_ = false;  // superseded; nothing left to draw
    return S_FALSE;
  }
  if (!readback_.TryTake(context, &scratch_)) return S_FALSE;
  clean_ = {rect, pointer_, scratch_, generation_};
  owed_ = false;
  RestoreUnder(context);
  Paint(device, context, shape, clean_);
  *frame = picture_;
  return S_OK;
}

}  // namespace veyra

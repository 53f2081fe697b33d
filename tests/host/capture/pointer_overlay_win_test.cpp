// The pointer overlay on a real Direct3D 11 device under Wine, behind a
// context that counts full-frame copies and maps and can answer that the
// GPU is still drawing: colour pointers and HDR tone mapping are drawn by
// shaders, monochrome pointers read back only their rectangle, and a late
// read-back never blocks.
#include <d3d11.h>
#include <windows.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "host/capture/pointer_blend.h"
#include "host/capture/pointer_overlay_win.h"
#include "host/capture/sdr_white.h"
#include "host/capture/texture_desc_win.h"
#include "tests/host/capture/fake_dxgi_win.h"
#include "tests/host/capture/recording_context_win.h"

namespace veyra {
namespace {

using Microsoft::WRL::ComPtr;
using testing::ContextRecord;
using testing::MakeBgraTexture;
using testing::MakeCom;
using testing::RecordingContext;

constexpr std::uint32_t kDesk = 0xFF204060;
constexpr UINT kWidth = 8;
constexpr UINT kHeight = 4;

class PointerOverlayWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(
        D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0,
                          D3D11_SDK_VERSION, device_.GetAddressOf(), nullptr, real_.GetAddressOf()),
        S_OK);
    context_ = MakeCom<RecordingContext>(real_, &record_);
    desktop_ = MakeBgraTexture(device_.Get(), kWidth, kHeight, kDesk);
  }

  HRESULT Compose(ID3D11Texture2D* desktop, const PointerShape& shape, PointerState pointer) {
    return overlay_.Compose(device_.Get(), context_.Get(), desktop, shape, pointer, &frame_);
  }

  std::vector<std::uint32_t> Pixels(ID3D11Texture2D* texture) {
    if (texture == nullptr) {
      ADD_FAILURE() << "no picture";
      return {};
    }
    D3D11_TEXTURE2D_DESC desc{};
    texture->GetDesc(&desc);
    desc = StagingDesc(desc);
    ComPtr<ID3D11Texture2D> staging;
    EXPECT_EQ(device_->CreateTexture2D(&desc, nullptr, staging.GetAddressOf()), S_OK);
    real_->CopyResource(staging.Get(), texture);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    std::vector<std::uint32_t> pixels(std::size_t{desc.Width} * desc.Height);
    if (real_->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped) != S_OK) {
      ADD_FAILURE() << "the picture cannot be read back";
      return pixels;
    }
    for (UINT y = 0; y < desc.Height; ++y) {
      std::memcpy(&pixels[std::size_t{y} * desc.Width],
                  static_cast<const std::uint8_t*>(mapped.pData) + std::size_t{y} * mapped.RowPitch,
                  desc.Width * 4);
    }
    real_->Unmap(staging.Get(), 0);
    return pixels;
  }

  // The desktop with |shape| drawn at |pointer| by the CPU rules.
  static std::vector<std::uint32_t> Expected(const PointerShape& shape, PointerState pointer) {
    std::vector<std::uint32_t> pixels(std::size_t{kWidth} * kHeight, kDesk);
    BlendPointer(shape, pointer, reinterpret_cast<std::uint8_t*>(pixels.data()), kWidth, kHeight,
                 kWidth * 4);
    return pixels;
  }

  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> real_;
  ContextRecord record_;
  ComPtr<RecordingContext> context_;
  ComPtr<ID3D11Texture2D> desktop_;
  ComPtr<ID3D11Texture2D> frame_;
  PointerOverlay overlay_;
};

PointerShape ColourShape() {
  // Half-transparent red, opaque green, clear, opaque blue.
  const std::uint32_t pixels[] = {0x80FF0000, 0xFF00FF00, 0x00000000, 0xFF0000FF};
  PointerShape shape{PointerShapeKind::kColor, 2, 2, 8, 0, 0, {}};
  shape.pixels.resize(sizeof pixels);
  std::memcpy(shape.pixels.data(), pixels, sizeof pixels);
  return shape;
}

PointerShape MonochromeShape() {
  // AND rows then XOR rows, 1 bit per pixel: (0,0) black, (1,0) kept,
  // (0,1) inverted, (1,1) white.
  return {PointerShapeKind::kMonochrome, 2, 4, 1, 0, 0, {0x40, 0x80, 0x00, 0xC0}};
}

TEST_F(PointerOverlayWineTest, AColourPointerIsDrawnOnTheGpuWithoutAnyMap) {
  const PointerShape shape = ColourShape();
  ASSERT_EQ(Compose(desktop_.Get(), shape, {true, 3, 1}), S_OK);
  EXPECT_EQ(Pixels(frame_.Get()), Expected(shape, {true, 3, 1}));
  // Moved half off the top-left corner: the old place is clean again, and
  // a pointer-only frame copies no full frame.
  ASSERT_EQ(Compose(nullptr, shape, {true, -1, -1}), S_OK);
  EXPECT_EQ(Pixels(frame_.Get()), Expected(shape, {true, -1, -1}));
  EXPECT_TRUE(record_.maps.empty());
  EXPECT_EQ(record_.fullCopies, 1);  // the desktop image, once
  EXPECT_EQ(record_.draws, 2);
  ASSERT_EQ(Compose(nullptr, shape, {false, 0, 0}), S_OK);
  EXPECT_EQ(Pixels(frame_.Get()), Expected(shape, {false, 0, 0}));
}

TEST_F(PointerOverlayWineTest, AMonochromePointerReadsBackOnlyItsRectangleWithoutWaiting) {
  const PointerShape shape = MonochromeShape();
  ASSERT_EQ(Compose(desktop_.Get(), shape, {true, 7, 1}), S_OK);  // one column on the picture
  EXPECT_EQ(Pixels(frame_.Get()), Expected(shape, {true, 7, 1}));
  ASSERT_EQ(record_.maps.size(), 1u);
  EXPECT_EQ(record_.maps[0].width, 1u);
  EXPECT_EQ(record_.maps[0].height, 2u);
  EXPECT_EQ(record_.maps[0].flags, static_cast<UINT>(D3D11_MAP_FLAG_DO_NOT_WAIT));
  EXPECT_FALSE(overlay_.pointerOwed());
}

// The GPU has not copied the new place's pixels yet: the frame shows the
// pointer where it was (never no pointer), and the pointer is owed until
// the read-back lands; no call waits for the GPU.
TEST_F(PointerOverlayWineTest, AReadBackStillOnTheGpuShowsThePointerWhereItWasUntilItLands) {
  const PointerShape shape = MonochromeShape();
  ASSERT_EQ(Compose(desktop_.Get(), shape, {true, 1, 1}), S_OK);
  record_.stillDrawing = 2;
  ASSERT_EQ(Compose(nullptr, shape, {true, 5, 2}), S_OK);
  EXPECT_EQ(Pixels(frame_.Get()), Expected(shape, {true, 1, 1}));
  EXPECT_TRUE(overlay_.pointerOwed());
  ComPtr<ID3D11Texture2D> redrawn;
  EXPECT_EQ(overlay_.Redraw(device_.Get(), context_.Get(), shape, &redrawn), S_FALSE);
  EXPECT_FALSE(redrawn);
  EXPECT_EQ(Pixels(frame_.Get()), Expected(shape, {true, 1, 1}));
  ASSERT_EQ(overlay_.Redraw(device_.Get(), context_.Get(), shape, &redrawn), S_OK);
  EXPECT_EQ(Pixels(redrawn.Get()), Expected(shape, {true, 5, 2}));
  EXPECT_FALSE(overlay_.pointerOwed());
  for (const ContextRecord::MapCall& map : record_.maps) {
    EXPECT_EQ(map.flags, static_cast<UINT>(D3D11_MAP_FLAG_DO_NOT_WAIT));
  }
  EXPECT_EQ(record_.fullCopies, 1);
}

// scRGB 1.0 is 80 nits; with SDR white at 200 nits it is 0.4 of white,
// which sRGB encodes as 0.665, byte 170.
TEST_F(PointerOverlayWineTest, AnHdrDesktopIsToneMappedBySdrWhiteIntoBgra) {
  D3D11_TEXTURE2D_DESC desc =
      TextureDesc(kWidth, kHeight, DXGI_FORMAT_R16G16B16A16_FLOAT, D3D11_BIND_SHADER_RESOURCE);
  constexpr std::uint16_t kOne = 0x3C00;  // 1.0 as a half float
  const std::vector<std::uint16_t> scRgb(std::size_t{kWidth} * kHeight * 4, kOne);
  const D3D11_SUBRESOURCE_DATA data{scRgb.data(), kWidth * 8, 0};
  ComPtr<ID3D11Texture2D> hdr;
  ASSERT_EQ(device_->CreateTexture2D(&desc, &data, hdr.GetAddressOf()), S_OK);
  overlay_.SetSdrWhiteScale(SdrWhiteScale(2500));
  ASSERT_EQ(Compose(hdr.Get(), ColourShape(), {false, 0, 0}), S_OK);
  frame_->GetDesc(&desc);
  EXPECT_EQ(desc.Format, DXGI_FORMAT_B8G8R8A8_UNORM);
  EXPECT_EQ(Pixels(frame_.Get())[5], 0xFFAAAAAAu);
  EXPECT_EQ(record_.fullCopies, 0);  // the tone map is the copy
}

}  // namespace
}  // namespace veyra

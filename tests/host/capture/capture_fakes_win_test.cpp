// Desktop duplication against fake DXGI outputs and duplications that
// behave as DXGI documents them; devices and textures stay Wine's real
// ones.
#include <d3d11.h>
#include <dxgi1_2.h>
#include <windows.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "host/base/log.h"
#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/capture/desktop_duplication_source.h"
#include "host/capture/graphics_context.h"
#include "host/capture/graphics_devices_win.h"
#include "host/capture/output_rotation.h"
#include "host/capture/texture_desc_win.h"
#include "tests/host/capture/fake_dxgi_win.h"
#include "tests/host/support/logged_test.h"

namespace veyra {
namespace {

using Microsoft::WRL::ComPtr;
using testing::FakeAdapter;
using testing::FakeAdapterSpec;
using testing::FakeDeviceCalls;
using testing::FakeFrameResult;
using testing::FakeGraphicsPlatform;
using testing::FakeOutputRecord;
using testing::LoggedTest;
using testing::MakeBgraTexture;
using testing::MakeCom;
using testing::ReadBack;

static_assert(static_cast<int>(OutputRotation::kUnspecified) == DXGI_MODE_ROTATION_UNSPECIFIED);
static_assert(static_cast<int>(OutputRotation::kIdentity) == DXGI_MODE_ROTATION_IDENTITY);
static_assert(static_cast<int>(OutputRotation::kRotate90) == DXGI_MODE_ROTATION_ROTATE90);
static_assert(static_cast<int>(OutputRotation::kRotate180) == DXGI_MODE_ROTATION_ROTATE180);
static_assert(static_cast<int>(OutputRotation::kRotate270) == DXGI_MODE_ROTATION_ROTATE270);

// A context on one fake adapter with the outputs given, on real devices.
class DuplicationFakeTest : public LoggedTest {
 protected:
  void Start(std::vector<FakeOutputRecord*> outputs) {
    FakeAdapterSpec spec;
    spec.outputs = std::move(outputs);
    platform_ = FakeGraphicsPlatform({MakeCom<FakeAdapter>(spec)}, &calls_);
    graphics_ = std::make_unique<GraphicsContext>(&platform_);
    ASSERT_EQ(graphics_->Init(0), status::kSOk) << log_;
  }
  ComPtr<ID3D11Texture2D> Texture(UINT width, UINT height) {
    return MakeBgraTexture(graphics_->devices()->captureDevice.Get(), width, height);
  }

  FakeDeviceCalls calls_;
  GraphicsPlatform platform_;
  std::unique_ptr<GraphicsContext> graphics_;
  FakeOutputRecord output_;
};

TEST_F(DuplicationFakeTest, APortraitOutputDeliversItsUnrotatedSizeOnEveryFrame) {
  // Turned by 90 degrees: the desktop is 1080 wide and 1920 high, the
  // duplicated image 1920 by 1080.
  output_.desktop = RECT{0, 0, 1080, 1920};
  output_.duplication.rotation = DXGI_MODE_ROTATION_ROTATE90;
  Start({&output_});
  for (int i = 0; i < 3; ++i) {
    output_.duplication.frames.push_back(FakeFrameResult{S_OK, 100 + i, Texture(1920, 1080)});
  }
  DesktopDuplicationSource source(*graphics_, 0);
  ASSERT_EQ(source.Open(), status::kSOk) << log_;
  EXPECT_EQ(source.Width(), 1920u);
  EXPECT_EQ(source.Height(), 1080u);
  EXPECT_EQ(source.Rotation(), OutputRotation::kRotate90);
  EXPECT_TRUE(Logged("INFO  duplicating output 0: 1920x1080, systemMemory=0, rotation=2\n"))
      << log_;

  // The capture loop rebuilds the pipeline when a frame's size differs from
  // the source's; every frame here matches it and its texture.
  for (int i = 0; i < 3; ++i) {
    CapturedFrame frame;
    ASSERT_EQ(source.AcquireFrame(&frame, 100), status::kSOk);
    D3D11_TEXTURE2D_DESC desc{};
    D3DTextureOf(frame.texture)->GetDesc(&desc);
    EXPECT_EQ(frame.width, source.Width());
    EXPECT_EQ(frame.height, source.Height());
    EXPECT_EQ(desc.Width, frame.width);
    EXPECT_EQ(desc.Height, frame.height);
    source.ReleaseFrame();
  }
  EXPECT_EQ(output_.duplications, 1);
  EXPECT_FALSE(output_.duplication.releasedWhileNotHeld);
}

TEST_F(DuplicationFakeTest, TimeoutIsNoFrameAndUnchangedFramesStayHeldUntilTheNextCall) {
  Start({&output_});
  output_.duplication.frames.push_back(FakeFrameResult{DXGI_ERROR_WAIT_TIMEOUT, 0, {}});
  output_.duplication.frames.push_back(FakeFrameResult{S_OK, 0, Texture(1920, 1080)});
  output_.duplication.frames.push_back(FakeFrameResult{S_OK, 5, Texture(1920, 1080)});
  DesktopDuplicationSource source(*graphics_, 0);
  ASSERT_EQ(source.Open(), status::kSOk);

  CapturedFrame frame;
  EXPECT_EQ(source.AcquireFrame(&frame, 100), status::kSFalse);
  EXPECT_EQ(source.AcquireFrame(&frame, 100), status::kSFalse);  // nothing changed
  EXPECT_FALSE(frame.texture);
  EXPECT_TRUE(output_.duplication.held);
  EXPECT_EQ(output_.duplication.releases, 0);

  // The next call gives the held frame back before it acquires.
  EXPECT_EQ(source.AcquireFrame(&frame, 100), status::kSOk);
  EXPECT_TRUE(frame.texture);
  EXPECT_EQ(output_.duplication.releases, 1);
  EXPECT_FALSE(output_.duplication.releasedWhileNotHeld);
  source.Close();  // gives back the frame still held
  EXPECT_EQ(output_.duplication.releases, 2);
  EXPECT_FALSE(output_.duplication.held);
}

constexpr std::uint32_t kDesk = 0xFF204060;
constexpr std::uint32_t kRed = 0xFFFF0000;

// The duplicated image never holds the pointer: each frame is the image
// with the pointer drawn in, a frame where only the pointer moved is a new
// frame drawn over the kept image, and a hidden pointer draws nothing.
TEST_F(DuplicationFakeTest, ThePointerIsDrawnIntoEveryFrameAndItsMovesAreFrames) {
  output_.desktop = RECT{0, 0, 8, 4};
  Start({&output_});
  const ComPtr<ID3D11Texture2D> desktop =
      MakeBgraTexture(graphics_->devices()->captureDevice.Get(), 8, 4, kDesk);
  FakeFrameResult first{S_OK, 10, desktop, 10, {{3, 1}, TRUE}};
  first.shapeInfo = {DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR, 2, 2, 8, {0, 0}};
  first.shape.resize(16);
  for (std::size_t i = 0; i < 4; ++i) std::memcpy(&first.shape[i * 4], &kRed, 4);
  output_.duplication.frames.push_back(first);
  // Only the pointer moved, half off the top-left corner.
  output_.duplication.frames.push_back(FakeFrameResult{S_OK, 0, desktop, 11, {{-1, -1}, TRUE}});
  output_.duplication.frames.push_back(FakeFrameResult{S_OK, 0, desktop, 12, {{2, 2}, FALSE}});
  DesktopDuplicationSource source(*graphics_, 0);
  ASSERT_EQ(source.Open(), status::kSOk) << log_;

  const auto expect = [](std::vector<std::pair<int, int>> red) {
    std::vector<std::uint32_t> pixels(32, kDesk);
    for (const auto& [x, y] : red) pixels[static_cast<std::size_t>(y * 8 + x)] = kRed;
    return pixels;
  };
  CapturedFrame frame;
  ASSERT_EQ(source.AcquireFrame(&frame, 100), status::kSOk) << log_;
  EXPECT_EQ(ReadBack(*graphics_, frame.texture), expect({{3, 1}, {4, 1}, {3, 2}, {4, 2}}));
  EXPECT_EQ(frame.width, 8u);
  EXPECT_EQ(frame.height, 4u);
  ASSERT_EQ(source.AcquireFrame(&frame, 100), status::kSOk) << log_;
  EXPECT_EQ(ReadBack(*graphics_, frame.texture), expect({{0, 0}}));
  ASSERT_EQ(source.AcquireFrame(&frame, 100), status::kSOk) << log_;
  EXPECT_EQ(ReadBack(*graphics_, frame.texture), expect({}));
  // The duplicated image itself is never drawn on.
  EXPECT_EQ(ReadBack(*graphics_, WrapD3DTexture(desktop, 8, 4, PixelFormat::kBgra)), expect({}));
  EXPECT_EQ(source.AcquireFrame(&frame, 100), status::kSFalse);
}

// A pointer on another monitor still reports its moves, hidden: they are
// no frames, and its coming onto this monitor is one.
TEST_F(DuplicationFakeTest, MovesOfAHiddenPointerAreNoFrames) {
  output_.desktop = RECT{0, 0, 8, 4};
  Start({&output_});
  const ComPtr<ID3D11Texture2D> desktop = Texture(8, 4);
  output_.duplication.frames.push_back(FakeFrameResult{S_OK, 10, desktop});
  output_.duplication.frames.push_back(FakeFrameResult{S_OK, 0, desktop, 11, {{1, 1}, FALSE}});
  output_.duplication.frames.push_back(FakeFrameResult{S_OK, 0, desktop, 12, {{6, 2}, FALSE}});
  output_.duplication.frames.push_back(FakeFrameResult{S_OK, 0, desktop, 13, {{6, 2}, TRUE}});
  DesktopDuplicationSource source(*graphics_, 0);
  ASSERT_EQ(source.Open(), status::kSOk) << log_;

  CapturedFrame frame;
  ASSERT_EQ(source.AcquireFrame(&frame, 100), status::kSOk) << log_;
  source.ReleaseFrame();
  frame = CapturedFrame{};
  EXPECT_EQ(source.AcquireFrame(&frame, 100), status::kSFalse);
  EXPECT_EQ(source.AcquireFrame(&frame, 100), status::kSFalse);
  EXPECT_FALSE(frame.texture);
  EXPECT_EQ(source.AcquireFrame(&frame, 100), status::kSOk) << log_;
  EXPECT_TRUE(frame.texture);
  EXPECT_EQ(output_.duplication.acquires, 4);
}

// Protected content blacked out is said with every frame from the image
// that had it until an image without it, pointer-only frames included.
TEST_F(DuplicationFakeTest, MaskedProtectedContentIsFlaggedUntilAnImageWithoutIt) {
  Start({&output_});
  FakeFrameResult masked{S_OK, 10, Texture(1920, 1080)};
  masked.protectedContentMasked = true;
  output_.duplication.frames.push_back(masked);
  output_.duplication.frames.push_back(
      FakeFrameResult{S_OK, 0, masked.texture, 11, {{5, 5}, TRUE}});
  output_.duplication.frames.push_back(FakeFrameResult{S_OK, 12, Texture(1920, 1080)});
  DesktopDuplicationSource source(*graphics_, 0);
  ASSERT_EQ(source.Open(), status::kSOk) << log_;
  for (const bool expected : {true, true, false}) {
    CapturedFrame frame;
    ASSERT_EQ(source.AcquireFrame(&frame, 100), status::kSOk) << log_;
    EXPECT_EQ(frame.protectedContentMasked, expected);
    source.ReleaseFrame();
  }
}

// On a monitor turned by 90 degrees the pointer reported at the desktop's
// top-left corner is drawn at the unturned image's bottom-left, and a frame
// carries the size of the image it brings, not the one of Open.
TEST_F(DuplicationFakeTest, OnATurnedMonitorThePointerIsTurnedIntoTheImage) {
  output_.desktop = RECT{0, 0, 4, 8};
  output_.duplication.rotation = DXGI_MODE_ROTATION_ROTATE90;
  Start({&output_});
  FakeFrameResult frame{S_OK,
                        10,
                        MakeBgraTexture(graphics_->devices()->captureDevice.Get(), 8, 4, kDesk),
                        10,
                        {{0, 0}, TRUE}};
  frame.shapeInfo = {DXGI_OUTDUPL_POINTER_SHAPE_TYPE_COLOR, 1, 1, 4, {0, 0}};
  frame.shape.resize(4);
  std::memcpy(frame.shape.data(), &kRed, 4);
  output_.duplication.frames.push_back(frame);
  output_.duplication.frames.push_back(FakeFrameResult{S_OK, 11, Texture(6, 2)});
  DesktopDuplicationSource source(*graphics_, 0);
  ASSERT_EQ(source.Open(), status::kSOk) << log_;
  EXPECT_EQ(source.Rotation(), OutputRotation::kRotate90);

  CapturedFrame captured;
  ASSERT_EQ(source.AcquireFrame(&captured, 100), status::kSOk) << log_;
  std::vector<std::uint32_t> expected(32, kDesk);
  expected[3 * 8 + 0] = kRed;
  EXPECT_EQ(ReadBack(*graphics_, captured.texture), expected);
  ASSERT_EQ(source.AcquireFrame(&captured, 100), status::kSOk) << log_;
  EXPECT_EQ(captured.width, 6u);
  EXPECT_EQ(captured.height, 2u);
  EXPECT_EQ(source.Width(), 8u);
}

// An HDR output is duplicated as linear scRGB and handed on tone-mapped
// to BGRA; a refused float duplication, an output without IDXGIOutput6
// (older Windows, Wine) and an SDR output take the legacy path.
TEST_F(DuplicationFakeTest, AnHdrOutputIsDuplicatedAsFloatAndHandedOnAsBgra) {
  output_.desktop = RECT{0, 0, 8, 4};
  output_.colorSpace = DXGI_COLOR_SPACE_RGB_FULL_G2084_NONE_P2020;
  Start({&output_});
  const D3D11_TEXTURE2D_DESC floatDesc =
      TextureDesc(8, 4, DXGI_FORMAT_R16G16B16A16_FLOAT, D3D11_BIND_SHADER_RESOURCE);
  ComPtr<ID3D11Texture2D> hdr;
  ASSERT_EQ(
      graphics_->devices()->captureDevice->CreateTexture2D(&floatDesc, nullptr, hdr.GetAddressOf()),
      S_OK);
  output_.duplication.frames.push_back(FakeFrameResult{S_OK, 10, hdr});
  DesktopDuplicationSource source(*graphics_, 0);
  ASSERT_EQ(source.Open(), status::kSOk) << log_;
  using Formats = std::vector<std::vector<DXGI_FORMAT>>;
  EXPECT_EQ(output_.duplicate1Formats, (Formats{{DXGI_FORMAT_R16G16B16A16_FLOAT}}));
  EXPECT_EQ(output_.duplications, 0);
  CapturedFrame frame;
  ASSERT_EQ(source.AcquireFrame(&frame, 100), status::kSOk) << log_;
  D3D11_TEXTURE2D_DESC desc{};
  D3DTextureOf(frame.texture)->GetDesc(&desc);
  EXPECT_EQ(desc.Format, DXGI_FORMAT_B8G8R8A8_UNORM);
  EXPECT_EQ(frame.width, 8u);

  output_.duplicate1Result = E_INVALIDARG;
  ASSERT_EQ(source.Open(), status::kSOk) << log_;
  EXPECT_TRUE(Logged("WARN  DuplicateOutput1 failed: 0x80070057")) << log_;
  EXPECT_EQ(output_.duplications, 1);
  output_.output6 = false;
  ASSERT_EQ(source.Open(), status::kSOk) << log_;
  output_.output6 = true;
  output_.colorSpace = DXGI_COLOR_SPACE_RGB_FULL_G22_NONE_P709;
  ASSERT_EQ(source.Open(), status::kSOk) << log_;
  EXPECT_EQ(output_.duplicate1Formats.size(), 2u);
  EXPECT_EQ(output_.duplications, 3);
}

TEST_F(DuplicationFakeTest, AccessLostClosesTheSourceUntilItIsOpenedAgain) {
  Start({&output_});
  output_.duplication.frames.push_back(FakeFrameResult{DXGI_ERROR_ACCESS_LOST, 0, {}});
  DesktopDuplicationSource source(*graphics_, 0);
  ASSERT_EQ(source.Open(), status::kSOk);
  EXPECT_EQ(source.OutputDeviceName(), L"\\\\.\\DISPLAY2");

  CapturedFrame frame;
  EXPECT_EQ(source.AcquireFrame(&frame, 100), status::kDxgiErrorAccessLost);
  EXPECT_TRUE(Logged("WARN  duplication access lost; recreating\n")) << log_;
  EXPECT_TRUE(source.OutputDeviceName().empty());
  EXPECT_EQ(source.AcquireFrame(&frame, 100), status::kInvalidStateHresult);
  EXPECT_EQ(source.AcquireFrame(&frame, 100), status::kInvalidStateHresult);
  EXPECT_EQ(output_.duplication.acquires, 1);

  ASSERT_EQ(source.Open(), status::kSOk);
  EXPECT_EQ(source.AcquireFrame(&frame, 100), status::kSFalse);  // nothing scripted: timeout
  EXPECT_EQ(output_.duplications, 2);
}

TEST_F(DuplicationFakeTest, DeniedDuplicationAndOtherFailuresAreReportedAsReturned) {
  output_.duplicateResult = E_ACCESSDENIED;
  Start({&output_});
  DesktopDuplicationSource source(*graphics_, 0);
  EXPECT_EQ(source.Open(), status::kEAccessDenied);
  EXPECT_TRUE(
      Logged("WARN  DuplicateOutput denied: the lock screen or a secure desktop is showing\n"))
      << log_;
  EXPECT_TRUE(source.OutputDeviceName().empty());

  // Left to GraphicsContext::OpenSource, which tries the other adapters.
  output_.duplicateResult = DXGI_ERROR_UNSUPPORTED;
  EXPECT_EQ(source.Open(), status::kDxgiErrorUnsupported);
  EXPECT_TRUE(Logged("DEBUG DuplicateOutput: unsupported on Fake Adapter\n")) << log_;
  output_.duplicateResult = DXGI_ERROR_NOT_CURRENTLY_AVAILABLE;
  EXPECT_EQ(source.Open(), status::kDxgiErrorNotCurrentlyAvailable);
  EXPECT_TRUE(Logged("ERROR DuplicateOutput failed: 0x887A0022")) << log_;
}

TEST_F(DuplicationFakeTest, TheSecondOutputIsTheOneOpenedAndNamed) {
  FakeOutputRecord second;
  second.desktop = RECT{1920, 0, 3200, 1024};
  second.deviceName = L"\\\\.\\DISPLAY3";
  Start({&output_, &second});
  DesktopDuplicationSource source(*graphics_, 1);
  ASSERT_EQ(source.Open(), status::kSOk);
  EXPECT_EQ(source.Width(), 1280u);
  EXPECT_EQ(source.Height(), 1024u);
  EXPECT_EQ(source.OutputDeviceName(), L"\\\\.\\DISPLAY3");
  EXPECT_EQ(output_.duplications, 0);
  source.Close();
  EXPECT_TRUE(source.OutputDeviceName().empty());
}

}  // namespace
}  // namespace veyra

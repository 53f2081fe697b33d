// The Direct3D 11 back end's decisions against fake DXGI objects (adapter
// lists, duplication results) that behave as DXGI documents them; devices
// and textures stay Wine's real ones.
#include <d3d11.h>
#include <dxgi1_2.h>
#include <windows.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

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

namespace veyra {
namespace {

using Microsoft::WRL::ComPtr;
using testing::FakeAdapter;
using testing::FakeAdapterSpec;
using testing::FakeDeviceCalls;
using testing::FakeFrameResult;
using testing::FakeGraphicsPlatform;
using testing::FakeOutputRecord;
using testing::MakeBgraTexture;
using testing::MakeCom;
using testing::ReadBack;

static_assert(static_cast<int>(OutputRotation::kUnspecified) == DXGI_MODE_ROTATION_UNSPECIFIED);
static_assert(static_cast<int>(OutputRotation::kIdentity) == DXGI_MODE_ROTATION_IDENTITY);
static_assert(static_cast<int>(OutputRotation::kRotate90) == DXGI_MODE_ROTATION_ROTATE90);
static_assert(static_cast<int>(OutputRotation::kRotate180) == DXGI_MODE_ROTATION_ROTATE180);
static_assert(static_cast<int>(OutputRotation::kRotate270) == DXGI_MODE_ROTATION_ROTATE270);

class LoggedTest : public ::testing::Test {
 protected:
  LoggedTest() { SetLogThreshold(LogLevel::Debug); }
  ~LoggedTest() override { SetLogThreshold(LogLevel::Info); }
  bool Logged(const std::string& text) const { return log_.find(text) != std::string::npos; }

  std::string log_;
  RecordingLogSink sink_{&log_};
};

using GraphicsContextFakeTest = LoggedTest;

TEST_F(GraphicsContextFakeTest, OnlyASoftwareAdapterIsNoSuitableAdapter) {
  FakeAdapterSpec basic;
  basic.description = L"Microsoft Basic Render Driver";
  basic.flags = DXGI_ADAPTER_FLAG_SOFTWARE;
  FakeDeviceCalls calls;
  const GraphicsPlatform platform = FakeGraphicsPlatform({MakeCom<FakeAdapter>(basic)}, &calls);
  GraphicsContext graphics(&platform);
  EXPECT_EQ(graphics.Init(0), status::kDxgiErrorNotFound);
  EXPECT_TRUE(Logged("ERROR no suitable DXGI adapter found\n")) << log_;
  EXPECT_TRUE(calls.calls.empty());
  EXPECT_FALSE(graphics.initialised());
}

TEST_F(GraphicsContextFakeTest, ZeroTakesTheFirstHardwareAdapterAndALuidItsOwn) {
  FakeAdapterSpec software{L"Software", DXGI_ADAPTER_FLAG_SOFTWARE, {1, 0}, {}};
  FakeAdapterSpec first{L"First GPU", 0, {2, 0}, {}};
  FakeAdapterSpec second{L"Second GPU", 0, {3, 1}, {}};
  const auto adapters = std::vector<ComPtr<FakeAdapter>>{
      MakeCom<FakeAdapter>(software), MakeCom<FakeAdapter>(first), MakeCom<FakeAdapter>(second)};
  FakeDeviceCalls calls;
  const GraphicsPlatform platform = FakeGraphicsPlatform(adapters, &calls);
  {
    GraphicsContext graphics(&platform);
    ASSERT_EQ(graphics.Init(0), status::kSOk) << log_;
    EXPECT_EQ(graphics.adapterName(), "First GPU");
    EXPECT_EQ(graphics.adapterLuid(), 2u);
    ASSERT_EQ(calls.calls.size(), 2u);
    for (const FakeDeviceCalls::Call& call : calls.calls) {
      EXPECT_EQ(call.adapter, static_cast<IDXGIAdapter*>(adapters[1].Get()));
      EXPECT_EQ(call.driverType, D3D_DRIVER_TYPE_UNKNOWN);
      EXPECT_EQ(call.flags, 0x820u);
      EXPECT_EQ(call.levels,
                (std::vector<D3D_FEATURE_LEVEL>{D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0,
                                                D3D_FEATURE_LEVEL_10_1}));
    }
  }
  calls.calls.clear();
  GraphicsContext graphics(&platform);
  ASSERT_EQ(graphics.Init((1ull << 32) | 3u), status::kSOk) << log_;
  EXPECT_EQ(graphics.adapterName(), "Second GPU");
  EXPECT_EQ(calls.calls.front().adapter, static_cast<IDXGIAdapter*>(adapters[2].Get()));
}

TEST_F(GraphicsContextFakeTest, ChangedAdaptersAreALostDeviceUntilInitAgain) {
  bool current = true;
  FakeDeviceCalls calls;
  const GraphicsPlatform platform =
      FakeGraphicsPlatform({MakeCom<FakeAdapter>(FakeAdapterSpec{})}, &calls, &current);
  GraphicsContext graphics(&platform);
  EXPECT_FALSE(graphics.DeviceLost());  // nothing to lose yet
  ASSERT_EQ(graphics.Init(0), status::kSOk) << log_;
  EXPECT_FALSE(graphics.DeviceLost());
  current = false;  // a GPU came or went
  EXPECT_TRUE(graphics.DeviceLost());
  current = true;
  ASSERT_EQ(graphics.Init(0), status::kSOk) << log_;
  EXPECT_FALSE(graphics.DeviceLost());
  EXPECT_EQ(calls.calls.size(), 4u);
}

// A hybrid laptop: the discrete GPU comes first and drives no monitor; the
// monitors are on the integrated one, where the devices must be.
TEST_F(GraphicsContextFakeTest, TheDevicesAreOnTheAdapterThatDrivesTheMonitor) {
  FakeOutputRecord panel;
  FakeOutputRecord external;
  external.deviceName = L"\\\\.\\DISPLAY5";
  FakeAdapterSpec discrete{L"Discrete GPU", 0, {7, 0}, {}};
  FakeAdapterSpec integrated{L"Integrated GPU", 0, {9, 0}, {&panel, &external}};
  const auto adapters = std::vector<ComPtr<FakeAdapter>>{MakeCom<FakeAdapter>(discrete),
                                                         MakeCom<FakeAdapter>(integrated)};
  FakeDeviceCalls calls;
  const GraphicsPlatform platform = FakeGraphicsPlatform(adapters, &calls);
  GraphicsContext graphics(&platform);
  ASSERT_EQ(graphics.Init(0, 1), status::kSOk) << log_;
  EXPECT_EQ(graphics.adapterName(), "Integrated GPU");
  EXPECT_EQ(calls.calls.front().adapter, static_cast<IDXGIAdapter*>(adapters[1].Get()));

  DesktopDuplicationSource source(graphics, 1);
  ASSERT_EQ(source.Open(), status::kSOk) << log_;
  EXPECT_EQ(source.OutputDeviceName(), L"\\\\.\\DISPLAY5");
  EXPECT_EQ(panel.duplications, 0);
  EXPECT_EQ(external.duplications, 1);
}

TEST_F(GraphicsContextFakeTest, FeatureLevel10_1IsAccepted) {
  FakeDeviceCalls calls;
  calls.onlyLevel = D3D_FEATURE_LEVEL_10_1;
  const GraphicsPlatform platform =
      FakeGraphicsPlatform({MakeCom<FakeAdapter>(FakeAdapterSpec{})}, &calls);
  GraphicsContext graphics(&platform);
  ASSERT_EQ(graphics.Init(0), status::kSOk) << log_;
  EXPECT_TRUE(Logged("DEBUG   capture device: feature level 0xA100\n")) << log_;
  EXPECT_TRUE(Logged("DEBUG   encoder device: feature level 0xA100\n")) << log_;
}

TEST_F(GraphicsContextFakeTest, AFailedEncoderDeviceKeepsTheCaptureDevice) {
  FakeDeviceCalls calls;
  calls.failAtCall = 1;
  const GraphicsPlatform platform =
      FakeGraphicsPlatform({MakeCom<FakeAdapter>(FakeAdapterSpec{})}, &calls);
  GraphicsContext graphics(&platform);
  EXPECT_EQ(graphics.Init(0), status::kEOutOfMemory);
  EXPECT_TRUE(Logged("ERROR D3D11CreateDevice failed: 0x8007000E")) << log_;
  EXPECT_TRUE(Logged("ERROR encoder device failed: 0x8007000E")) << log_;
  EXPECT_FALSE(Logged("separate capture and encoder devices"));
  ASSERT_NE(graphics.devices(), nullptr);
  EXPECT_TRUE(graphics.devices()->captureDevice);
  EXPECT_FALSE(graphics.devices()->encoderDevice);

  // Initialised again, the context replaces the devices and completes.
  calls.failAtCall = -1;
  ASSERT_EQ(graphics.Init(0), status::kSOk) << log_;
  EXPECT_TRUE(graphics.devices()->encoderDevice);
}

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

  output_.duplicateResult = DXGI_ERROR_UNSUPPORTED;
  EXPECT_EQ(source.Open(), status::kDxgiErrorUnsupported);
  EXPECT_TRUE(Logged("ERROR DuplicateOutput failed: 0x887A0004")) << log_;
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

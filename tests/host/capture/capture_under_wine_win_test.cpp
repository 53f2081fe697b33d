// The Direct3D 11 back end on Wine's own adapter: devices, textures, the
// synthetic source's drawing read back from the GPU, and duplication, which
// Wine does not implement.
#include <d3d11.h>
#include <windows.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/base/log.h"
#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/capture/desktop_duplication_source.h"
#include "host/capture/graphics_context.h"
#include "host/capture/graphics_devices_win.h"
#include "host/capture/synthetic_source.h"
#include "tests/host/capture/fake_dxgi_win.h"

namespace veyra {
namespace {

using Microsoft::WRL::ComPtr;
using testing::ReadBack;

// A clock that never waits: each frame is due at once.
class SteppedClock final : public PacingClock {
 public:
  std::uint64_t NowUs() override { return nowUs_ += 20000; }
  void SleepUs(std::uint64_t /*us*/) override {}

 private:
  std::uint64_t nowUs_ = 0;
};

class CaptureUnderWineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogThreshold(LogLevel::Debug);
    ASSERT_EQ(graphics_.Init(0), status::kSOk) << log_;
  }
  void TearDown() override { SetLogThreshold(LogLevel::Info); }

  std::string log_;
  RecordingLogSink sink_{&log_};
  GraphicsContext graphics_;
};

TEST_F(CaptureUnderWineTest, InitCreatesBothDevicesOnWinesHardwareAdapter) {
  // Wine lists one adapter, without the software flag, and reaches 11_1.
  EXPECT_FALSE(graphics_.adapterName().empty());
  GraphicsDevices* devices = graphics_.devices();
  ASSERT_NE(devices, nullptr);
  EXPECT_TRUE(devices->captureDevice && devices->captureContext);
  EXPECT_TRUE(devices->encoderDevice && devices->encoderContext);
  EXPECT_NE(devices->captureDevice.Get(), devices->encoderDevice.Get());
  EXPECT_NE(log_.find("DEBUG   capture device: feature level 0xB100\n"), std::string::npos) << log_;
  EXPECT_NE(log_.find("DEBUG   encoder device: feature level 0xB100\n"), std::string::npos) << log_;
  EXPECT_NE(log_.find("INFO  D3D11 on " + graphics_.adapterName() +
                      ": separate capture and encoder devices\n"),
            std::string::npos)
      << log_;
}

TEST_F(CaptureUnderWineTest, SyntheticBandsLandWhereThePatternSaysAndAccumulate) {
  SteppedClock clock;
  SyntheticSource source(graphics_, 256, 8, 60, &clock);
  ASSERT_EQ(source.Open(), status::kSOk);
  CapturedFrame frame;
  ASSERT_EQ(source.AcquireFrame(&frame, 100), status::kSOk);  // band at 0
  ASSERT_EQ(source.AcquireFrame(&frame, 100), status::kSOk);  // band at 37
  ASSERT_TRUE(frame.texture);
  EXPECT_EQ(frame.width, 256u);
  EXPECT_EQ(frame.height, 8u);

  const std::vector<std::uint32_t> pixels = ReadBack(graphics_, frame.texture);
  for (std::uint32_t y = 0; y < 8; ++y) {
    for (std::uint32_t x = 0; x < 256; ++x) {
      const bool inBand = x < 37 + 96;
      EXPECT_EQ(pixels[y * 256 + x] == 0xFFFFFFFFu, inBand) << "x=" << x << " y=" << y;
    }
  }
}

TEST_F(CaptureUnderWineTest, KeepLastFrameCopiesThePicture) {
  SteppedClock clock;
  SyntheticSource source(graphics_, 128, 4, 60, &clock);
  ASSERT_EQ(source.Open(), status::kSOk);
  CapturedFrame frame;
  ASSERT_EQ(source.AcquireFrame(&frame, 100), status::kSOk);
  Texture last;
  graphics_.KeepLastFrame(frame.texture, &last);
  ASSERT_TRUE(last);
  EXPECT_NE(last.Identity(), frame.texture.Identity());
  EXPECT_EQ(ReadBack(graphics_, last), ReadBack(graphics_, frame.texture));

  // The same size again reuses the copy.
  const void* kept = last.Identity();
  graphics_.KeepLastFrame(frame.texture, &last);
  EXPECT_EQ(last.Identity(), kept);
}

TEST_F(CaptureUnderWineTest, DuplicationIsNotImplementedSoOpenFailsAndTheSourceStaysClosed) {
  DesktopDuplicationSource source(graphics_, 0);
  EXPECT_EQ(source.Open(), status::kENotImpl);
  EXPECT_NE(log_.find("ERROR DuplicateOutput failed: 0x80004001"), std::string::npos) << log_;
  EXPECT_TRUE(source.OutputDeviceName().empty());
  CapturedFrame frame;
  EXPECT_EQ(source.AcquireFrame(&frame, 0), status::kInvalidStateHresult);
}

TEST_F(CaptureUnderWineTest, AnOutputBeyondTheAdaptersIsMissing) {
  DesktopDuplicationSource source(graphics_, 5);
  EXPECT_EQ(source.Open(), status::kDxgiErrorNotFound);
  EXPECT_NE(log_.find("ERROR output 5 does not exist on this adapter\n"), std::string::npos)
      << log_;
}

}  // namespace
}  // namespace veyra

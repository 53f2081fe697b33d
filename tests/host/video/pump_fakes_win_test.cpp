// A converted slot crossing to the encoder, on fake devices of one adapter
// that share a texture and its keyed mutex through the NT handle: the
// encoder opens the pool, takes a posted slot with key 1, copies it on its
// own device, gives it back with key 0, and feeds the transform a sample of
// its local copy at the frame's time.
#include <d3d11.h>
#include <mfapi.h>
#include <windows.h>

#include <codecapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/base/log.h"
#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/capture/graphics_context.h"
#include "host/capture/graphics_devices_win.h"
#include "host/video/color_converter.h"
#include "host/video/media_foundation_platform_win.h"
#include "host/video/video_encoder.h"
#include "tests/host/video/fake_media_foundation_win.h"
#include "tests/host/video/fake_video_processor_win.h"

namespace veyra {
namespace {

using testing::FakeEncoderCatalogue;
using testing::FakeMftRecord;
using testing::FakeTexture;
using testing::FakeVideoPlatform;
using testing::FakeVideoRecord;
using testing::MakeCom;

class PumpFakesTest : public ::testing::Test {
 protected:
  static constexpr std::uint32_t kWidth = 1920;
  static constexpr std::uint32_t kHeight = 1080;

  void SetUp() override {
    SetLogThreshold(LogLevel::Debug);
    ASSERT_EQ(graphics_.Init(0), status::kSOk) << sink_.Text();
    ASSERT_EQ(converter_.Init(graphics_, kWidth, kHeight, kWidth, kHeight), status::kSOk)
        << sink_.Text();
    catalogue_.software = {{L"Fake", &mft_}};
    platform_ = catalogue_.Platform();
    encoder_ = std::make_unique<VideoEncoder>(CreateMediaFoundationBackend(platform_));
    EncoderConfig config = SoftwareConfig();
    config.gop = 120;
    ASSERT_EQ(encoder_->Open(graphics_, config, nullptr), status::kSOk) << sink_.Text();
  }
  void TearDown() override {
    encoder_->Shutdown();
    converter_.Shutdown();
    SetLogThreshold(LogLevel::Info);
  }

  // The fake catalogue's one transform is a software one.
  static EncoderConfig SoftwareConfig() {
    EncoderConfig config;
    config.width = kWidth;
    config.height = kHeight;
    config.bitrate = 2000000;  // the careful start of a connection
    config.preferHardware = false;
    return config;
  }

  Texture Input() {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = kWidth;
    desc.Height = kHeight;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    return WrapD3DTexture(MakeCom<FakeTexture>(&record_, desc), kWidth, kHeight,
                          PixelFormat::kBgra);
  }

  std::int32_t OpenSurfaces() {
    return encoder_->OpenSharedSurfaces(converter_.SharedHandles(), kWidth, kHeight);
  }

  // Polls until the transform took an input; false after two seconds. The
  // pump feeds it on its own thread.
  bool WaitUntilFed() {
    for (int i = 0; i < 400; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const std::lock_guard<std::mutex> lock(mft_.mutex);
      if (!mft_.inputs.empty()) return true;
    }
    return false;
  }

  // True when |slot| is back at key 0, where the converter may write it
  // again (and leaves it there).
  bool BackWithConverter(std::size_t slot) {
    KeyedMutex& mutex = *converter_.pool()[slot].keyedMutex;
    if (mutex.AcquireSync(0, 0) != status::kSOk) return false;
    mutex.ReleaseSync(0);
    return true;
  }

  std::string log_;
  RecordingLogSink sink_{&log_};
  FakeVideoRecord record_;
  GraphicsPlatform graphicsPlatform_ = FakeVideoPlatform(&record_);
  GraphicsContext graphics_{&graphicsPlatform_};
  ColorConverter converter_;
  FakeMftRecord mft_;
  FakeEncoderCatalogue catalogue_;
  MediaFoundationPlatform platform_;
  std::unique_ptr<VideoEncoder> encoder_;
};

TEST_F(PumpFakesTest, APostedSlotIsCopiedReturnedAndFedAtItsTime) {
  ASSERT_EQ(OpenSurfaces(), status::kSOk) << sink_.Text();
  EXPECT_NE(sink_.Text().find("INFO  encoder opened 8 shared NV12 surfaces on its own device\n"),
            std::string::npos);
  // Eight pool slots on the capture device, eight local copies on the
  // encoder's, without the sharing flags.
  ASSERT_EQ(record_.textures.size(), 2 * kNv12PoolSlots);
  const D3D11_TEXTURE2D_DESC& local = record_.textures.back();
  EXPECT_EQ(local.Format, DXGI_FORMAT_NV12);
  EXPECT_EQ(local.BindFlags, 0x28u);
  EXPECT_EQ(local.MiscFlags, 0u);

  Texture output;
  std::size_t slot = 99;
  ASSERT_EQ(converter_.Convert(Input(), &output, &slot), status::kSOk);
  converter_.WaitForSlot(slot);
  ASSERT_EQ(encoder_->PostFrame(slot, 3, 1234), PostResult::kAccepted);

  ASSERT_TRUE(WaitUntilFed()) << sink_.Text();
  encoder_->Shutdown();
  const std::lock_guard<std::mutex> lock(mft_.mutex);
  ASSERT_EQ(mft_.inputs.size(), 1u);
  EXPECT_EQ(mft_.inputs[0].time, 499998);
  EXPECT_EQ(mft_.inputs[0].duration, 166666);
  EXPECT_NE(mft_.inputs[0].texture, nullptr);
  EXPECT_NE(mft_.inputs[0].texture, static_cast<void*>(D3DTextureOf(output)));
  EXPECT_EQ(record_.copies, 1);
  EXPECT_TRUE(BackWithConverter(slot));
}

// Keyframe and bit-rate requests go through the codec API on the pump
// thread, right before the frame that follows them.
TEST_F(PumpFakesTest, KeyframeAndBitRateRequestsGoInWithTheNextFrame) {
  ASSERT_EQ(OpenSurfaces(), status::kSOk);
  encoder_->RequestKeyframe();
  encoder_->SetBitrate(12000000);
  std::size_t settingsBefore = 0;
  {
    const std::lock_guard<std::mutex> lock(mft_.mutex);
    settingsBefore = mft_.settings.size();
  }
  Texture output;
  std::size_t slot = 99;
  ASSERT_EQ(converter_.Convert(Input(), &output, &slot), status::kSOk);
  ASSERT_EQ(encoder_->PostFrame(slot, 3, 1234), PostResult::kAccepted);
  ASSERT_TRUE(WaitUntilFed()) << sink_.Text();
  EXPECT_NE(sink_.Text().find("INFO  bitrate -> 12000 kbps\n"), std::string::npos);
  const std::lock_guard<std::mutex> lock(mft_.mutex);
  ASSERT_EQ(mft_.settings.size(), settingsBefore + 3);
  EXPECT_TRUE(mft_.settings[settingsBefore].api == CODECAPI_AVEncCommonMeanBitRate);
  EXPECT_EQ(mft_.settings[settingsBefore].value, 12000000u);
  // The buffer follows the rate: a frame's share of 12 Mbit/s, not of the
  // opening 2 Mbit/s.
  EXPECT_TRUE(mft_.settings[settingsBefore + 1].api == CODECAPI_AVEncCommonBufferSize);
  EXPECT_EQ(mft_.settings[settingsBefore + 1].value, 12000000u / 8 / 60);
  EXPECT_TRUE(mft_.settings.back().api == CODECAPI_AVEncVideoForceKeyFrame);
  EXPECT_EQ(mft_.settings.back().type, VT_UI4);
  EXPECT_EQ(mft_.settings.back().value, 1u);
}

// A driver that cannot share NV12 textures: one device converts and
// encodes, the slots are plain textures with in-process locks, and a slot
// still travels to the encoder and back.
TEST_F(PumpFakesTest, WithoutNv12SharingOneDeviceDoesBothWithoutSharedHandles) {
  encoder_->Shutdown();
  converter_.Shutdown();
  record_.nv12Sharing = 0;
  record_.textures.clear();
  record_.sharedAccess.clear();
  ASSERT_EQ(graphics_.Init(0), status::kSOk) << sink_.Text();
  EXPECT_NE(sink_.Text().find("WARN  D3D11 on Fake Adapter: the driver cannot share NV12 textures; "
                              "one device converts and encodes\n"),
            std::string::npos);
  EXPECT_EQ(graphics_.devices()->encoderDevice, graphics_.devices()->captureDevice);
  ASSERT_EQ(converter_.Init(graphics_, kWidth, kHeight, kWidth, kHeight), status::kSOk)
      << sink_.Text();
  for (const D3D11_TEXTURE2D_DESC& desc : record_.textures) EXPECT_EQ(desc.MiscFlags, 0u);
  EXPECT_TRUE(record_.sharedAccess.empty());
  ASSERT_EQ(encoder_->Open(graphics_, SoftwareConfig(), nullptr), status::kSOk) << sink_.Text();
  ASSERT_EQ(OpenSurfaces(), status::kSOk) << sink_.Text();

  Texture output;
  std::size_t slot = 99;
  ASSERT_EQ(converter_.Convert(Input(), &output, &slot), status::kSOk);
  ASSERT_EQ(encoder_->PostFrame(slot, 3, 1234), PostResult::kAccepted);
  ASSERT_TRUE(WaitUntilFed()) << sink_.Text();
  EXPECT_TRUE(BackWithConverter(slot));
}

TEST_F(PumpFakesTest, AnEmptyHandleFailsAfterTheSlotsBeforeIt) {
  std::vector<SharedHandle> handles = converter_.SharedHandles();
  handles[3] = nullptr;
  EXPECT_EQ(encoder_->OpenSharedSurfaces(handles, kWidth, kHeight), status::kEInvalidArg);
  EXPECT_EQ(record_.textures.size(), kNv12PoolSlots + 3);  // three local copies made
}

TEST_F(PumpFakesTest, AHandleTheDeviceCannotOpenIsLogged) {
  std::vector<SharedHandle> handles = converter_.SharedHandles();
  handles[0] = INVALID_HANDLE_VALUE;
  EXPECT_EQ(encoder_->OpenSharedSurfaces(handles, kWidth, kHeight), status::kEInvalidArg);
  EXPECT_NE(sink_.Text().find("ERROR OpenSharedResource1(NV12) failed: 0x80070057"),
            std::string::npos)
      << sink_.Text();
}

}  // namespace
}  // namespace veyra

// The colour converter on the video processor engine, against a fake
// capture device whose video processor, textures, keyed mutexes and
// queries behave as Direct3D 11 documents them.
#include <d3d11.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/base/log.h"
#include "host/base/recording_log_sink.h"
#include "host/base/status_codes.h"
#include "host/capture/graphics_context.h"
#include "host/capture/graphics_devices_win.h"
#include "host/video/color_converter.h"
#include "tests/host/video/fake_video_processor_win.h"

namespace veyra {
namespace {

using testing::FakeTexture;
using testing::FakeVideoPlatform;
using testing::FakeVideoRecord;
using testing::MakeCom;

class ConverterFakesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetLogThreshold(LogLevel::Debug);
    ASSERT_EQ(graphics_.Init(0), status::kSOk) << log_;
  }
  void TearDown() override { SetLogThreshold(LogLevel::Info); }
  bool Logged(const std::string& text) const { return log_.find(text) != std::string::npos; }

  // A captured frame: a BGRA texture of the source size.
  Texture Input() {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = 1920;
    desc.Height = 1200;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    return WrapD3DTexture(MakeCom<FakeTexture>(&record_, desc), 1920, 1200, PixelFormat::kBgra);
  }
  // What the encoder does with a converted slot: takes key 1, gives key 0.
  void EncoderTakes(std::size_t slot) {
    KeyedMutex& mutex = *converter_.pool()[slot].keyedMutex;
    ASSERT_EQ(mutex.AcquireSync(1, 0), status::kSOk);
    ASSERT_EQ(mutex.ReleaseSync(0), status::kSOk);
  }

  std::string log_;
  RecordingLogSink sink_{&log_};
  FakeVideoRecord record_;
  GraphicsPlatform platform_ = FakeVideoPlatform(&record_);
  GraphicsContext graphics_{&platform_};
  ColorConverter converter_;
  Texture output_;
  std::size_t slot_ = 99;
};

TEST_F(ConverterFakesTest, WithoutBgraInputThereIsNoPool) {
  record_.bgraSupport = 0;
  EXPECT_EQ(converter_.Init(graphics_, 1920, 1200, 1920, 1080), status::kENotImpl);
  EXPECT_TRUE(Logged(
      "ERROR GPU cannot take BGRA as VideoProcessor input; a shader path is required here\n"))
      << log_;
  EXPECT_TRUE(record_.textures.empty());
  EXPECT_TRUE(converter_.pool().empty());
}

TEST_F(ConverterFakesTest, WithoutNv12OutputThereIsNoPool) {
  record_.nv12Support = D3D11_VIDEO_PROCESSOR_FORMAT_SUPPORT_INPUT;  // in, but not out
  EXPECT_EQ(converter_.Init(graphics_, 1920, 1200, 1920, 1080), status::kENotImpl);
  EXPECT_TRUE(
      Logged("ERROR GPU cannot produce NV12 from VideoProcessor; a shader path is required here\n"))
      << log_;
  EXPECT_TRUE(record_.textures.empty());
}

TEST_F(ConverterFakesTest, InitConfiguresTheProcessorAndEightSharedSlots) {
  ASSERT_EQ(converter_.Init(graphics_, 1920, 1200, 1921, 1081), status::kSOk) << log_;
  EXPECT_EQ(record_.content.InputFrameFormat, D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE);
  EXPECT_EQ(record_.content.InputWidth, 1920u);
  EXPECT_EQ(record_.content.InputHeight, 1200u);
  EXPECT_EQ(record_.content.OutputWidth, 1920u);
  EXPECT_EQ(record_.content.OutputHeight, 1080u);
  EXPECT_EQ(record_.content.Usage, D3D11_VIDEO_USAGE_OPTIMAL_SPEED);
  EXPECT_EQ(record_.rateConversionIndex, 0u);
  EXPECT_EQ(record_.frameFormat, D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE);
  EXPECT_FALSE(record_.autoProcessing);
  EXPECT_EQ(record_.streamColourSpace, 0x24u);
  EXPECT_EQ(record_.outputColourSpace, 0x14u);
  EXPECT_EQ(record_.sourceRect.right, 1920);
  EXPECT_EQ(record_.sourceRect.bottom, 1200);
  EXPECT_EQ(record_.destRect.right, 1920);
  EXPECT_EQ(record_.destRect.bottom, 1080);
  EXPECT_EQ(record_.targetRect.right, 1920);
  EXPECT_EQ(record_.targetRect.bottom, 1080);

  ASSERT_EQ(record_.textures.size(), kNv12PoolSlots);
  for (const D3D11_TEXTURE2D_DESC& desc : record_.textures) {
    EXPECT_EQ(desc.Format, DXGI_FORMAT_NV12);
    EXPECT_EQ(desc.Width, 1920u);
    EXPECT_EQ(desc.Height, 1080u);
    EXPECT_EQ(desc.BindFlags, 0x28u);
    EXPECT_EQ(desc.MiscFlags, 0x900u);
    EXPECT_EQ(desc.CPUAccessFlags, 0u);
  }
  EXPECT_EQ(record_.sharedAccess, std::vector<DWORD>(kNv12PoolSlots, 0x80000001u));
  EXPECT_EQ(record_.outputViews, 8);
  EXPECT_EQ(record_.queries, 8);
  for (SharedHandle handle : converter_.SharedHandles()) EXPECT_NE(handle, nullptr);
  EXPECT_TRUE(Logged("INFO  color converter 1920x1200 BGRA -> 1920x1080 NV12\n")) << log_;
}

// A portrait monitor's image arrives unturned; the processor turns it into
// an upright output where it can, and otherwise the output keeps the
// image's orientation and says so.
TEST_F(ConverterFakesTest, QuarterTurnsHappenInTheProcessorOrNotAtAll) {
  ASSERT_EQ(converter_.Init(graphics_, 1920, 1200, 1200, 1920, OutputRotation::kRotate90),
            status::kSOk)
      << log_;
  EXPECT_EQ(record_.content.InputWidth, 1920u);
  EXPECT_EQ(record_.content.OutputWidth, 1200u);
  EXPECT_EQ(record_.sourceRect.right, 1920);
  EXPECT_EQ(record_.destRect.right, 1200);
  EXPECT_EQ(record_.destRect.bottom, 1920);
  EXPECT_EQ(record_.rotations,
            std::vector<D3D11_VIDEO_PROCESSOR_ROTATION>{D3D11_VIDEO_PROCESSOR_ROTATION_90});
  EXPECT_EQ(converter_.appliedRotation(), OutputRotation::kRotate90);
  EXPECT_EQ(record_.textures.back().Width, 1200u);

  record_.featureCaps = 0;
  record_.rotations.clear();
  ASSERT_EQ(converter_.Init(graphics_, 1920, 1200, 1200, 1920, OutputRotation::kRotate270),
            status::kSOk)
      << log_;
  EXPECT_TRUE(record_.rotations.empty());
  EXPECT_EQ(converter_.appliedRotation(), OutputRotation::kIdentity);
  EXPECT_EQ(converter_.OutputWidth(), 1920u);
  EXPECT_EQ(converter_.OutputHeight(), 1200u);
  EXPECT_EQ(record_.destRect.right, 1920);
  EXPECT_EQ(record_.textures.back().Width, 1920u);
  EXPECT_TRUE(Logged("WARN  the video processor cannot rotate; streaming the monitor unrotated\n"))
      << log_;
}

TEST_F(ConverterFakesTest, ConvertBltsEndsTheQueryAndHandsTheSlotToTheEncoder) {
  ASSERT_EQ(converter_.Init(graphics_, 1920, 1200, 1920, 1080), status::kSOk);
  ASSERT_EQ(converter_.Convert(Input(), &output_, &slot_), status::kSOk) << log_;
  EXPECT_EQ(slot_, 0u);
  ASSERT_EQ(record_.blts.size(), 1u);
  const FakeVideoRecord::Blt& blt = record_.blts[0];
  EXPECT_NE(blt.target, nullptr);
  EXPECT_EQ(blt.outputFrame, 0u);
  EXPECT_EQ(blt.streams, 1u);
  EXPECT_TRUE(blt.stream.Enable);
  EXPECT_EQ(blt.stream.OutputIndex, 0u);
  EXPECT_EQ(blt.stream.InputFrameOrField, 0u);
  EXPECT_NE(blt.stream.pInputSurface, nullptr);
  EXPECT_EQ(blt.stream.PastFrames, 0u);
  EXPECT_EQ(blt.stream.FutureFrames, 0u);
  EXPECT_EQ(record_.endedQueries, 1);
  EXPECT_EQ(record_.flushes, 1);
  EXPECT_EQ(D3DTextureOf(output_), D3DTextureOf(converter_.pool()[0].texture));
  converter_.WaitForSlot(slot_);
  EXPECT_EQ(converter_.pool()[0].bltTimeUs, 0u);
  EncoderTakes(slot_);  // key 1 is the encoder's
}

TEST_F(ConverterFakesTest, EverySlotHeldDropsFramesAndTheIndexStillAdvances) {
  ASSERT_EQ(converter_.Init(graphics_, 1920, 1200, 1920, 1080), status::kSOk);
  const Texture input = Input();
  for (std::size_t i = 0; i < kNv12PoolSlots; ++i) {
    ASSERT_EQ(converter_.Convert(input, &output_, &slot_), status::kSOk);
  }
  // The encoder took none of them: every slot still waits at key 1.
  EXPECT_EQ(converter_.Convert(input, &output_, &slot_), status::kEPending);
  EXPECT_EQ(slot_, 0u);
  EXPECT_EQ(converter_.Convert(input, &output_, &slot_), status::kEPending);
  EXPECT_EQ(slot_, 1u);
  EXPECT_TRUE(Logged("DEBUG NV12 slot 1 still held by the encoder; dropping frame\n")) << log_;
  EXPECT_EQ(record_.blts.size(), kNv12PoolSlots);

  EncoderTakes(2);
  EXPECT_EQ(converter_.Convert(input, &output_, &slot_), status::kSOk);
  EXPECT_EQ(slot_, 2u);
}

TEST_F(ConverterFakesTest, InputViewsAreCachedPerTextureUpToSixteen) {
  ASSERT_EQ(converter_.Init(graphics_, 1920, 1200, 1920, 1080), status::kSOk);
  const Texture same = Input();
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(converter_.Convert(same, &output_, &slot_), status::kSOk);
    EncoderTakes(slot_);
  }
  EXPECT_EQ(record_.inputViews, 1);

  // The same Direct3D texture in a new wrapper, as duplication hands it out.
  const Texture rewrapped = WrapD3DTexture(same.storage->texture, 1920, 1200, PixelFormat::kBgra);
  ASSERT_EQ(converter_.Convert(rewrapped, &output_, &slot_), status::kSOk);
  EncoderTakes(slot_);
  EXPECT_EQ(record_.inputViews, 1);

  std::vector<Texture> inputs;
  for (int i = 0; i < 16; ++i) inputs.push_back(Input());  // 17 distinct with |same|
  for (const Texture& input : inputs) {
    ASSERT_EQ(converter_.Convert(input, &output_, &slot_), status::kSOk);
    EncoderTakes(slot_);
  }
  EXPECT_EQ(record_.inputViews, 17);
  EXPECT_TRUE(Logged("DEBUG input view cache full (16); resetting\n")) << log_;
  EXPECT_TRUE(Logged("(1 cached)\n")) << log_;
}

TEST_F(ConverterFakesTest, ShutdownClosesTheSharedHandles) {
  ASSERT_EQ(converter_.Init(graphics_, 1920, 1200, 1920, 1080), status::kSOk);
  const std::vector<SharedHandle> handles = converter_.SharedHandles();
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(handles[0], &flags));
  converter_.Shutdown();
  for (SharedHandle handle : handles) EXPECT_FALSE(GetHandleInformation(handle, &flags));
  EXPECT_TRUE(converter_.pool().empty());
  Texture output;
  EXPECT_EQ(converter_.Convert(Input(), &output, &slot_), status::kInvalidStateHresult);
}

}  // namespace
}  // namespace veyra

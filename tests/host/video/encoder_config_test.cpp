#include "host/video/encoder_config.h"

#include <gtest/gtest.h>

namespace veyra {
namespace {

TEST(SampleTimingTest, FramesSitWholeDurationsApartInHundredNanoseconds) {
  const SampleTiming third = SampleTimingOf(3, 60);
  EXPECT_EQ(third.duration, 166666);  // integer division
  EXPECT_EQ(third.time, 499998);
  EXPECT_EQ(SampleTimingOf(0, 30).time, 0);
  EXPECT_EQ(SampleTimingOf(1, 30).duration, 333333);
  // And back, also from a time a transform rounded.
  EXPECT_EQ(FrameIdAt(third.time, 60), 3u);
  EXPECT_EQ(FrameIdAt(third.time + 1000, 60), 3u);
  EXPECT_EQ(FrameIdAt(-5, 60), 0u);
}

TEST(SampleTimingTest, ZeroFramesPerSecondCountsAsSixty) {
  EXPECT_EQ(SampleTimingOf(3, 0).duration, 166666);
  EXPECT_EQ(SampleTimingOf(3, 0).time, 499998);
}

TEST(EncoderConfigTest, ZeroFramesPerSecondIsSixtyAndTheBufferHoldsOneFrameInBytes) {
  EncoderConfig config;
  config.fps = 0;
  config.bitrate = 12000000;
  EXPECT_EQ(FrameRate(config), 60u);
  EXPECT_EQ(LowLatencySettings(config).back().property, CodecProperty::kBufferSize);
  EXPECT_EQ(LowLatencySettings(config).back().value, 25000u);
  config.fps = 30;
  config.bitrate = 100;  // never an empty buffer
  EXPECT_EQ(LowLatencySettings(config).back().value, 1u);
}

// The levels libx264 writes into its SPS for the same streams.
TEST(EncoderConfigTest, MinimumLevelHoldsSizeRateAndBitRate) {
  struct Case {
    std::uint32_t width, height, fps, bitrate, levelIdc;
    std::uint32_t maxBitrate = 0;
  };
  const Case cases[] = {
      {1280, 720, 60, 12000000, 32},
      {1728, 1080, 60, 12000000, 42},
      {1920, 1080, 30, 12000000, 40},
      {1920, 1080, 30, 30000000, 41},
      {3840, 2160, 60, 12000000, 52},
      {320, 240, 60, 1000000, 21},
      {8192, 8192, 120, 12000000, 62},  // beyond every level
      {4096, 16, 60, 1000000, 40},      // too wide for the smaller levels' frames
      // Opened at a careful rate, sized for the rate it may climb to.
      {1920, 1080, 30, 3000000, 41, 30000000},
  };
  for (const Case& c : cases) {
    EncoderConfig config;
    config.width = c.width;
    config.height = c.height;
    config.fps = c.fps;
    config.bitrate = c.bitrate;
    config.maxBitrate = c.maxBitrate;
    EXPECT_EQ(MinimumLevelIdc(config), c.levelIdc) << c.width << "x" << c.height << "@" << c.fps;
  }
}

TEST(SampleTimingTest, LargeFrameIdsDoNotWrap) {
  // Half a year at 60 frames per second.
  const std::uint64_t frameId = 60ull * 60 * 60 * 24 * 183;
  EXPECT_EQ(SampleTimingOf(frameId, 60).time, static_cast<std::int64_t>(frameId) * 166666);
}

}  // namespace
}  // namespace veyra

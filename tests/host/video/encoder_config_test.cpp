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

TEST(SampleTimingTest, LargeFrameIdsDoNotWrap) {
  // Half a year at 60 frames per second.
  const std::uint64_t frameId = 60ull * 60 * 60 * 24 * 183;
  EXPECT_EQ(SampleTimingOf(frameId, 60).time, static_cast<std::int64_t>(frameId) * 166666);
}

}  // namespace
}  // namespace veyra

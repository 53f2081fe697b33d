#include "host/session/streaming_stats.h"

#include <gtest/gtest.h>

namespace veyra {
namespace {

constexpr std::uint64_t kStartUs = 10000000;

FrameTiming SentFrame(std::uint64_t frameId, std::uint64_t sentUs, std::uint32_t bytes = 1000) {
  FrameTiming timing;
  timing.frameId = frameId;
  timing.loopStartUs = sentUs - 9000;
  timing.captureTimeUs = sentUs - 8000;
  timing.convertedUs = sentUs - 6000;
  timing.encodedTimeUs = sentUs - 1000;
  timing.sentUs = sentUs;
  timing.bytes = bytes;
  return timing;
}

FrameAck AckOf(std::uint64_t frameId, std::uint64_t receivedUs, std::uint64_t decodedUs,
               std::uint64_t presentedUs) {
  FrameAck ack;
  ack.frameId = frameId;
  ack.receivedUs = receivedUs;
  ack.decodedUs = decodedUs;
  ack.presentedUs = presentedUs;
  return ack;
}

TEST(PercentileTest, IndexIsTruncatedFromTheSortedCopy) {
  EXPECT_EQ(PercentileMs({}, 0.5), 0.0);
  std::deque<std::uint64_t> samples;
  for (std::uint64_t i = 300; i >= 1; --i) {
    samples.push_back(i * 1000);
  }
  EXPECT_DOUBLE_EQ(PercentileMs(samples, 0.5), 150.0);   // element 149
  EXPECT_DOUBLE_EQ(PercentileMs(samples, 0.95), 285.0);  // element 284
}

TEST(StreamingStatsTest, StageTimesAndRatesOfTheFramesSent) {
  StreamingStats stats;
  // 60 frames a second of 50,000 bytes for just over a second (the window
  // counts the frame it starts with as well).
  for (std::uint64_t i = 0; i <= 61; ++i) {
    stats.RecordFrame(SentFrame(i + 1, kStartUs + i * 16667, 50000));
  }
  const HostStats s = stats.Snapshot(2, kStartUs + 61ULL * 16667);
  EXPECT_NEAR(s.fps, 60.0, 1.5);
  EXPECT_NEAR(static_cast<double>(s.bitrateBps), 24000000.0, 600000.0);
  EXPECT_DOUBLE_EQ(s.captureMs, 1.0);
  EXPECT_DOUBLE_EQ(s.convertMs, 2.0);
  EXPECT_DOUBLE_EQ(s.encodeMs, 5.0);
  EXPECT_EQ(s.encoderQueue, 2);
  // Without acknowledgements the receiver's figures stay 0.
  EXPECT_EQ(s.networkMs, 0.0);
  EXPECT_EQ(s.e2eP50Ms, 0.0);
  EXPECT_EQ(s.e2eP95Ms, 0.0);
}

TEST(StreamingStatsTest, RatesFallToZeroWhenFramesStop) {
  StreamingStats stats;
  for (std::uint64_t i = 0; i <= 60; ++i) {
    stats.RecordFrame(SentFrame(i + 1, kStartUs + i * 16667));
  }
  EXPECT_GT(stats.Snapshot(0, kStartUs + 1000001).fps, 50.0);
  const HostStats later = stats.Snapshot(0, kStartUs + 3000000);
  EXPECT_EQ(later.fps, 0.0);
  EXPECT_EQ(later.bitrateBps, 0);
}

TEST(StreamingStatsTest, KeepsTheLast300SamplesOnly) {
  StreamingStats stats;
  // The first frame's capture time is far off; 300 more push it out.
  FrameTiming outlier = SentFrame(1, kStartUs);
  outlier.loopStartUs = outlier.captureTimeUs - 900000;
  stats.RecordFrame(outlier);
  EXPECT_DOUBLE_EQ(stats.Snapshot(0, kStartUs).captureMs, 900.0);
  for (std::uint64_t i = 0; i < 300; ++i) {
    stats.RecordFrame(SentFrame(i + 2, kStartUs + (i + 1) * 1000));
  }
  EXPECT_DOUBLE_EQ(stats.Snapshot(0, kStartUs).captureMs, 1.0);
}

TEST(StreamingStatsTest, AcknowledgementsOnTheHostClock) {
  StreamingStats stats;
  // A receiver clock 1 s ahead, 10 ms round trip: the first PONG gives the
  // offset, the network time is then half the round trip.
  const std::uint64_t pingSentUs = kStartUs;
  stats.RecordPong(PingPayload{1, pingSentUs, pingSentUs + 5000 + 1000000}, pingSentUs + 10000,
                   pingSentUs);
  EXPECT_EQ(stats.clockOffsetUs(), 1000000);

  const std::uint64_t sentUs = kStartUs + 20000;
  stats.RecordFrame(SentFrame(7, sentUs));
  stats.RecordAck(AckOf(7, sentUs + 5000 + 1000000, sentUs + 8000 + 1000000, 0));
  HostStats s = stats.Snapshot(0, sentUs);
  EXPECT_DOUBLE_EQ(s.networkMs, 5.0);
  // presentedUs 0: the decode time counts, from the capture time (8 ms
  // before sending).
  EXPECT_DOUBLE_EQ(s.e2eP50Ms, 16.0);

  // An ack for a frame whose ring entry was reused, or one never sent, is
  // ignored.
  stats.RecordFrame(SentFrame(7 + 256, sentUs + 1000));
  stats.RecordAck(AckOf(7, sentUs + 900000 + 1000000, 0, sentUs + 900000 + 1000000));
  stats.RecordAck(AckOf(99, sentUs + 900000 + 1000000, 0, sentUs + 900000 + 1000000));
  s = stats.Snapshot(0, sentUs);
  EXPECT_DOUBLE_EQ(s.networkMs, 5.0);
  EXPECT_DOUBLE_EQ(s.e2eP95Ms, 16.0);
}

TEST(StreamingStatsTest, ClockOffsetIsSmoothedAndResetStartsOver) {
  StreamingStats stats;
  // Zero round trip, so each PONG's sample is its reply time minus the send.
  stats.RecordPong(PingPayload{1, kStartUs, kStartUs + 1000}, kStartUs, kStartUs);
  EXPECT_EQ(stats.clockOffsetUs(), 1000);
  stats.RecordPong(PingPayload{2, kStartUs, kStartUs + 2000}, kStartUs, kStartUs);
  EXPECT_EQ(stats.clockOffsetUs(), 1125);

  stats.CountDropped();
  EXPECT_EQ(stats.droppedFrames(), 1);
  stats.Reset();
  EXPECT_EQ(stats.clockOffsetUs(), 0);
  EXPECT_EQ(stats.droppedFrames(), 0);
  EXPECT_EQ(stats.Snapshot(0, kStartUs).rttMs, 0.0);
}

}  // namespace
}  // namespace veyra

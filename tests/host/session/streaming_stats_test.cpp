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

// A PING sent at |sentUs| on the host's clock, answered by a receiver whose
// clock reads |offsetUs| more, |upUs| after sending and arriving back
// |downUs| later.
void Exchange(StreamingStats& stats, std::uint64_t pingId, std::uint64_t sentUs,
              std::int64_t offsetUs, std::uint64_t upUs, std::uint64_t downUs) {
  stats.RecordPing(pingId, sentUs);
  const std::uint64_t replyUs = sentUs + upUs + static_cast<std::uint64_t>(offsetUs);
  stats.RecordPong(PingPayload{pingId, sentUs, replyUs}, sentUs + upUs + downUs);
}

TEST(StreamingStatsTest, AcknowledgementsOnTheHostClock) {
  StreamingStats stats;
  constexpr std::int64_t kOffsetUs = 1000000000;  // the phone's clock started elsewhere
  const std::uint64_t sentUs = kStartUs + 20000;
  stats.RecordFrame(SentFrame(7, sentUs));
  // Acknowledged before any PONG: kept, not counted, until there is an offset.
  stats.RecordAck(AckOf(7, sentUs + 5000 + kOffsetUs, sentUs + 8000 + kOffsetUs, 0));
  EXPECT_FALSE(stats.hasClockOffset());
  HostStats s = stats.Snapshot(0, sentUs);
  EXPECT_EQ(s.networkMs, 0.0);
  EXPECT_EQ(s.e2eP50Ms, 0.0);

  // A symmetric 10 ms round trip gives the offset; the earlier ack counts.
  Exchange(stats, 1, kStartUs, kOffsetUs, 5000, 5000);
  EXPECT_EQ(stats.clockOffsetUs(), kOffsetUs);
  s = stats.Snapshot(0, sentUs);
  EXPECT_DOUBLE_EQ(s.networkMs, 5.0);
  // presentedUs 0: the decode time counts, from the capture time (8 ms
  // before sending).
  EXPECT_DOUBLE_EQ(s.e2eP50Ms, 16.0);

  // An ack for a frame whose ring entry was reused, or one never sent, is
  // ignored.
  stats.RecordFrame(SentFrame(7 + 256, sentUs + 1000));
  stats.RecordAck(AckOf(7, sentUs + 900000 + kOffsetUs, 0, sentUs + 900000 + kOffsetUs));
  stats.RecordAck(AckOf(99, sentUs + 900000 + kOffsetUs, 0, sentUs + 900000 + kOffsetUs));
  s = stats.Snapshot(0, sentUs);
  EXPECT_DOUBLE_EQ(s.networkMs, 5.0);
  EXPECT_DOUBLE_EQ(s.e2eP95Ms, 16.0);
}

struct OffsetCase {
  const char* name;
  std::int64_t offsetUs;
};

class ClockOffsetTest : public ::testing::TestWithParam<OffsetCase> {};

// Prompt 10 ms exchanges with one PONG held up 400 ms on its way back (a
// busy receive thread): the smallest round trip wins, so the estimate stays
// within 5 ms of the truth; an offset of 0 is an estimate like any other.
TEST_P(ClockOffsetTest, SmallestRoundTripWinsOverALatePong) {
  StreamingStats stats;
  const std::int64_t offsetUs = GetParam().offsetUs;
  Exchange(stats, 1, kStartUs, offsetUs, 3000, 7000);
  Exchange(stats, 2, kStartUs + 1000000, offsetUs, 5000, 400000);
  Exchange(stats, 3, kStartUs + 2000000, offsetUs, 6000, 4000);
  EXPECT_TRUE(stats.hasClockOffset());
  EXPECT_NEAR(static_cast<double>(stats.clockOffsetUs()), static_cast<double>(offsetUs), 5000.0);
  EXPECT_EQ(stats.minRttUs(), 10000);
}

INSTANTIATE_TEST_SUITE_P(Offsets, ClockOffsetTest,
                         ::testing::Values(OffsetCase{"PhoneBootedLongAgo", 1000000000},
                                           OffsetCase{"SameClock", 0},
                                           OffsetCase{"PhoneClockBehind", -3000000}),
                         [](const ::testing::TestParamInfo<OffsetCase>& param) {
                           return std::string(param.param.name);
                         });

TEST(StreamingStatsTest, RoundTripOfAQueuedLinkAndWhatResets) {
  StreamingStats stats;
  Exchange(stats, 1, kStartUs, 0, 5000, 5000);
  // Two PINGs go unanswered behind a queue: the round trip reported is the
  // age of the older one, not the 10 ms measured before.
  stats.RecordPing(2, kStartUs + 1000000);
  stats.RecordPing(3, kStartUs + 2000000);
  EXPECT_DOUBLE_EQ(stats.Snapshot(0, kStartUs + 2500000).rttMs, 1500.0);
  // The PONG for the older PING still counts, though a newer one was sent.
  stats.RecordPong(PingPayload{2, kStartUs + 1000000, kStartUs + 1000000}, kStartUs + 2600000);
  EXPECT_DOUBLE_EQ(stats.Snapshot(0, kStartUs + 2700000).rttMs, 1600.0);
  // A PONG for a PING never sent (or answered already) is ignored.
  stats.RecordPong(PingPayload{2, 0, 0}, kStartUs + 2800000);
  stats.RecordPong(PingPayload{40, 0, 0}, kStartUs + 2800000);
  EXPECT_EQ(stats.clockOffsetUs(), 0);

  // A new pipeline keeps the connection's offset; a new connection does not.
  stats.CountDropped();
  stats.Reset();
  EXPECT_EQ(stats.droppedFrames(), 0);
  EXPECT_TRUE(stats.hasClockOffset());
  stats.ResetConnection();
  EXPECT_FALSE(stats.hasClockOffset());
  EXPECT_EQ(stats.Snapshot(0, kStartUs + 3000000).rttMs, 0.0);
}

}  // namespace
}  // namespace veyra

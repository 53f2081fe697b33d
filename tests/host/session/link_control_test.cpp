// The three pieces that fit the stream to the link: the window of video in
// flight, the keyframe pacer that keeps the reference chain whole, and the
// delay-based rate controller.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/session/keyframe_pacer.h"
#include "host/session/rate_controller.h"
#include "host/session/send_window.h"

namespace veyra {
namespace {

constexpr std::uint64_t kT0 = 50000000;
constexpr std::uint64_t kFrameUs = 16666;

TEST(SendWindowTest, OneAcknowledgementCoversEveryEarlierFrame) {
  SendWindow window;
  for (std::uint64_t id = 1; id <= 4; ++id) {
    window.OnSent(id, 10000, kT0 + id * kFrameUs);
  }
  EXPECT_EQ(window.InFlightBytes(), 40000U);
  // The receiver acknowledges frame 3 only (acks are optional per frame).
  const auto acked = window.OnAck(3, kT0 + 100000);
  ASSERT_TRUE(acked.has_value());
  EXPECT_EQ(acked->newlyAckedBytes, 30000U);
  EXPECT_EQ(acked->sentUs, kT0 + 3 * kFrameUs);
  EXPECT_EQ(window.InFlightBytes(), 10000U);
  // Frames already covered, or never sent, change nothing.
  EXPECT_FALSE(window.OnAck(2, kT0 + 110000).has_value());
  EXPECT_FALSE(window.OnAck(99, kT0 + 110000).has_value());
  EXPECT_TRUE(window.HasRoom(10001, 1000000, kT0 + 120000));
  EXPECT_FALSE(window.HasRoom(10000, 0, kT0 + 120000));
  // A frame the connection refused is taken back; only the latest can be.
  window.OnSent(5, 7000, kT0 + 5 * kFrameUs);
  window.OnUnsent(4);
  EXPECT_EQ(window.InFlightBytes(), 17000U);
  window.OnUnsent(5);
  EXPECT_EQ(window.InFlightBytes(), 10000U);
  window.OnSent(6, 5000, kT0 + 6 * kFrameUs);
  EXPECT_EQ(window.OnAck(6, kT0 + 130000)->newlyAckedBytes, 15000U);
}

TEST(SendWindowTest, WithoutAcknowledgementsTheBacklogBounds) {
  SendWindow window;
  for (std::uint64_t id = 1; id <= 100; ++id) {
    window.OnSent(id, 10000, kT0 + id * kFrameUs);
  }
  // A receiver that never acknowledges still streams: what waits unsent
  // decides, however much was sent.
  EXPECT_TRUE(window.HasRoom(65536, 20000, kT0 + 2000000));
  EXPECT_FALSE(window.HasRoom(65536, 70000, kT0 + 2000000));
  // Acknowledgements that start and then stop for kAckSilenceUs hand the
  // bound back to the backlog instead of closing the window for ever.
  window.OnAck(50, kT0 + 2000000);
  EXPECT_FALSE(window.HasRoom(65536, 0, kT0 + 2100000));
  EXPECT_TRUE(window.HasRoom(65536, 0, kT0 + 2000000 + SendWindow::kAckSilenceUs));
}

TEST(SendWindowTest, WindowFollowsRateAndRoundTrip) {
  // 1.5 MB/s over 20 ms plus three frames at 60 fps (69,998 us).
  EXPECT_EQ(SendWindow::WindowBytes(12000000, 20000, kFrameUs), 104997U);
  EXPECT_EQ(SendWindow::WindowBytes(1000000, 0, kFrameUs), SendWindow::kMinWindowBytes);
}

TEST(KeyframePacerTest, NoPFrameAfterADiscardUntilAKeyframe) {
  KeyframePacer pacer;
  EXPECT_TRUE(pacer.Admit(true));
  EXPECT_TRUE(pacer.Admit(false));
  EXPECT_TRUE(pacer.Discarded());
  EXPECT_FALSE(pacer.Discarded());  // already broken: reported once
  // P-frames still coming out of the encoder refer to the discarded one.
  EXPECT_FALSE(pacer.Admit(false));
  EXPECT_FALSE(pacer.Admit(false));
  EXPECT_TRUE(pacer.ShouldForce(false, kT0));
  EXPECT_TRUE(pacer.Admit(true));
  EXPECT_TRUE(pacer.Admit(false));
  EXPECT_FALSE(pacer.ShouldForce(false, kT0 + 10000));
}

TEST(KeyframePacerTest, ForcedKeyframesAtMostOnceASecondAndRequestsMerge) {
  KeyframePacer pacer;
  EXPECT_TRUE(pacer.ShouldForce(true, kT0));  // the pipeline's first frame
  // REQUEST_IDR and another discard within the second wait, merged into one.
  pacer.Discarded();
  EXPECT_FALSE(pacer.ShouldForce(true, kT0 + 300000));
  EXPECT_FALSE(pacer.ShouldForce(true, kT0 + KeyframePacer::kMinGapUs - 1));
  EXPECT_TRUE(pacer.ShouldForce(true, kT0 + KeyframePacer::kMinGapUs));
  EXPECT_EQ(pacer.forcedKeyframes(), 2U);
  // A new pipeline may force at once.
  pacer.Reset();
  EXPECT_FALSE(pacer.broken());
  EXPECT_TRUE(pacer.ShouldForce(true, kT0 + KeyframePacer::kMinGapUs + 1));
}

// Acks for 60 frames a second of |bytes| each over [fromUs, toUs), each
// arriving |delayUs| after it was sent, on a receiver clock 10^9 us ahead.
void Acks(RateController& rate, std::uint64_t fromUs, std::uint64_t toUs, std::int64_t delayUs,
          std::uint64_t bytes) {
  for (std::uint64_t t = fromUs; t + kFrameUs / 2 < toUs; t += kFrameUs) {
    rate.OnAck(1000000000 + delayUs, bytes, t + static_cast<std::uint64_t>(delayUs));
  }
}

TEST(RateControllerTest, StepInDelayLowersToBelowDeliveryThenRecovers) {
  RateController rate;
  rate.Reset(12000000, kT0);
  // An uncongested second: 5 ms one way, 12 Mbit/s of acks. Nothing moves:
  // the rate is at its ceiling.
  Acks(rate, kT0, kT0 + 1000000, 5000, 25000);
  EXPECT_FALSE(rate.Update(0, kT0 + 1005000).has_value());
  // The link drops to 6 Mbit/s: the delay steps up by 100 ms while the acks
  // show half the bytes.
  Acks(rate, kT0 + 1000000, kT0 + 1600000, 105000, 12500);
  const auto down = rate.Update(0, kT0 + 1705000);
  ASSERT_TRUE(down.has_value());
  EXPECT_EQ(down->fromBps, 12000000U);
  EXPECT_NEAR(down->toBps, 0.85 * 6000000, 300000);
  EXPECT_NE(down->reason.find("queueing delay"), std::string::npos);
  // Held for kHoldUs: no second cut for the same queue.
  EXPECT_FALSE(rate.Update(0, kT0 + 1800000).has_value());
  // The queue drains; after kIncreaseStepUs of low delay the rate returns
  // close to what the link carried at the cut, as the run loop's passes
  // find it.
  std::optional<RateController::Change> up;
  std::uint64_t upAtUs = 0;
  for (std::uint64_t t = kT0 + 1800000; t < kT0 + 4000000 && !up; t += 50000) {
    Acks(rate, t, t + 50000, 6000, 10000);
    up = rate.Update(0, t + 50000);
    upAtUs = t + 50000;
  }
  ASSERT_TRUE(up.has_value());
  EXPECT_GT(up->toBps, down->toBps * RateController::kIncreaseFactor + 100000);
  EXPECT_NEAR(up->toBps, RateController::kResumeShare * 6000000, 300000);
  EXPECT_GE(upAtUs, kT0 + 1800000 + RateController::kIncreaseStepUs);
  // The link steps up to 20 Mbit/s: the queue stays empty and the acks carry
  // what the encoder sends. The rate climbs carefully past the 6 Mbit/s
  // where the link last filled, then fast: back to the ceiling in 2.5 s
  // (8 % steps alone take nearly 5 s). Twice a second the run loop finds a frame
  // being written, which is no queue.
  const double lastCutBps = 6000000;
  std::vector<RateController::Change> climb;
  std::uint64_t t = upAtUs;
  for (; t < upAtUs + 8000000 && rate.rateBps() < 12000000; t += 50000) {
    Acks(rate, t, t + 50000, 6000, rate.rateBps() / 8 / 60);
    const std::uint64_t writing = (t - upAtUs) % 500000 == 250000 ? rate.rateBps() / 8 / 60 : 0;
    if (auto change = rate.Update(writing, t + 50000)) climb.push_back(*change);
  }
  EXPECT_EQ(rate.rateBps(), 12000000U);
  EXPECT_LE(t - upAtUs, 6 * RateController::kIncreaseStepUs);
  bool fast = false;
  for (const RateController::Change& step : climb) {
    const bool fastStep = step.reason.find("past where it last filled") != std::string::npos;
    // Careful until the rate has held a step past the last cut's by
    // kNearFactor, fast from then on.
    EXPECT_EQ(fastStep, step.fromBps > RateController::kNearFactor * lastCutBps) << step.fromBps;
    fast = fast || fastStep;
    EXPECT_EQ(step.toBps,
              std::min<std::uint32_t>(
                  12000000, static_cast<std::uint32_t>(
                                step.fromBps * (fastStep ? RateController::kFastFactor
                                                         : RateController::kIncreaseFactor))));
  }
  EXPECT_TRUE(fast);
}

// A link just under the rate: the send window caps the queue below the
// overuse threshold and holds pictures back. The standing queue alone holds
// the rate; with pictures held back lately it trims it, once per hold.
TEST(RateControllerTest, AStandingQueueWhilePicturesAreHeldBackTrimsTheRate) {
  RateController rate;
  rate.Reset(12000000, kT0);
  Acks(rate, kT0, kT0 + 1000000, 5000, 25000);
  Acks(rate, kT0 + 1000000, kT0 + 1500000, 25000, 20833);  // 20 ms queued
  const std::uint64_t now = kT0 + 1530000;                 // the last acknowledgement is in
  EXPECT_FALSE(rate.Update(0, now).has_value());
  rate.OnHeldBack(now - RateController::kFilterUs - 1);
  EXPECT_FALSE(rate.Update(0, now).has_value());
  rate.OnHeldBack(now);
  const auto trim = rate.Update(0, now);
  ASSERT_TRUE(trim.has_value());
  EXPECT_EQ(trim->toBps, static_cast<std::uint32_t>(12000000 * RateController::kTrimFactor));
  EXPECT_NE(trim->reason.find("held back"), std::string::npos);
  rate.OnHeldBack(now + 100000);
  EXPECT_FALSE(rate.Update(0, now + 100000).has_value());
}

TEST(RateControllerTest, FloorCeilingAndBacklogWithoutAcks) {
  RateController rate;
  rate.Reset(12000000, kT0);
  // One keyframe being written when the run loop looks is not a queue.
  EXPECT_FALSE(rate.Update(400000, kT0).has_value());
  // No acknowledgements: 400 KB waiting at 12 Mbit/s is 270 ms of video.
  std::uint64_t now = kT0 + RateController::kHoldUs;
  std::optional<RateController::Change> change;
  for (int i = 0; i < 40; ++i, now += RateController::kHoldUs) {
    if (auto next = rate.Update(400000, now)) change = next;
  }
  ASSERT_TRUE(change.has_value());
  EXPECT_EQ(rate.rateBps(), RateController::kFloorBps);
  EXPECT_NE(change->reason.find("waiting to be sent"), std::string::npos);
  // The receiver's SET_BITRATE is a ceiling the rate never passes.
  rate.SetCeiling(800000);
  EXPECT_EQ(rate.rateBps(), 800000U);
  rate.SetCeiling(1100000);
  for (int i = 0; i < 10; ++i, now += RateController::kIncreaseStepUs) {
    rate.OnAck(1000, 1000, now);
    rate.Update(0, now);
  }
  EXPECT_EQ(rate.rateBps(), 1100000U);
  // Acks that carry almost nothing (a still picture) test nothing of the
  // link: the rate only creeps, however far above the last cut.
  rate.SetCeiling(12000000);
  for (int i = 0; i < 10; ++i, now += RateController::kIncreaseStepUs) {
    rate.OnAck(1000, 1000, now);
    rate.Update(0, now);
  }
  EXPECT_LE(rate.rateBps(), 1100000 * 2.2);
  // A cut that the host's own queue called for shows nothing the link
  // carried: the first step back is a careful one, not a return.
  RateController queued;
  queued.Reset(12000000, kT0);
  queued.Update(400000, kT0);
  queued.Update(400000, kT0 + RateController::kHoldUs);
  ASSERT_EQ(queued.rateBps(), static_cast<std::uint32_t>(12000000 * 0.85));
  now = kT0 + 2 * RateController::kHoldUs;
  queued.OnAck(1000, 1000, now);
  queued.Update(0, now);
  queued.OnAck(1000, 1000, now + RateController::kIncreaseStepUs);
  const auto first = queued.Update(0, now + RateController::kIncreaseStepUs);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->toBps,
            static_cast<std::uint32_t>(12000000 * 0.85 * RateController::kIncreaseFactor));
  // Acknowledgements that stop (a Wi-Fi pause) with nothing waiting here
  // are no news of an empty queue: the rate holds until they come back.
  const std::uint32_t held = queued.rateBps();
  for (int i = 2; i < 12; ++i) {
    EXPECT_FALSE(queued.Update(0, now + i * RateController::kIncreaseStepUs).has_value()) << i;
  }
  EXPECT_EQ(queued.rateBps(), held);
}

}  // namespace
}  // namespace veyra

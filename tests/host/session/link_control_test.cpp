// The three pieces that fit the stream to the link: the window of video in
// flight, the keyframe pacer that keeps the reference chain whole, and the
// delay-based rate controller.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
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
  EXPECT_TRUE(window.HasRoom(10001, 1000000, 1, kT0 + 120000));
  EXPECT_FALSE(window.HasRoom(10000, 0, 1, kT0 + 120000));
  // Admission counts the next frame's size: a keyframe waits for room.
  EXPECT_FALSE(window.HasRoom(30000, 0, 25000, kT0 + 120000));
  EXPECT_TRUE(window.HasRoom(35000, 0, 25000, kT0 + 120000));
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
  EXPECT_TRUE(window.HasRoom(65536, 20000, 1, kT0 + 2000000));
  EXPECT_FALSE(window.HasRoom(65536, 70000, 1, kT0 + 2000000));
  // Acknowledgements that start and then stop for kAckSilenceUs hand the
  // bound back to the backlog instead of closing the window for ever.
  window.OnAck(50, kT0 + 2000000);
  EXPECT_FALSE(window.HasRoom(65536, 0, 1, kT0 + 2100000));
  // With nothing ahead, a frame larger than the window goes all the same.
  EXPECT_TRUE(window.HasRoom(65536, 0, 100000, kT0 + 2000000 + SendWindow::kAckSilenceUs));
}

TEST(SendWindowTest, WindowFollowsRateAndRoundTrip) {
  // 1.5 MB/s over 20 ms plus three frames at 60 fps (69,998 us).
  EXPECT_EQ(SendWindow::WindowBytes(12000000, 20000, kFrameUs), 104997U);
  // At a low rate a few frames' worth, not a fixed floor: 2 Mbit/s over
  // three frames is 12,499 bytes.
  EXPECT_EQ(SendWindow::WindowBytes(2000000, 0, kFrameUs), 12499U);
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

// The host and a link in miniature: an encoder sending 60 frames a second
// of what its rate allows (times |use|), a bottleneck that serves |bps|
// (0: stalled) each millisecond ahead of a 5 ms path, a receiver whose
// clock is 10^9 us ahead, its acknowledgements 2 ms back, and the run loop
// looking every 10 ms. |capacity|, when set, gives the bottleneck's rate
// for each moment instead.
struct LinkModel {
  struct Queued {
    std::uint64_t sentUs;
    std::uint64_t bytes;
    std::uint64_t left;
  };

  RateController rate;
  std::uint64_t bps = 20000000;
  std::function<std::uint64_t(std::uint64_t)> capacity;
  double use = 1.0;
  std::uint64_t nowUs = kT0;
  std::deque<Queued> queue;
  double credit = 0;                     // bytes the bottleneck may still serve this millisecond
  std::deque<RateController::Ack> acks;  // on their way back, in order
  std::uint64_t standingUs = 0;          // another flow's queue ahead of ours
  std::vector<RateController::Change> changes;

  explicit LinkModel(std::uint32_t ceilingBps) { rate.Reset(ceilingBps, kT0); }

  void Run(std::uint64_t forUs) {
    const std::uint64_t endUs = nowUs + forUs;
    for (; nowUs < endUs; nowUs += 1000) {
      if ((nowUs - kT0) % kFrameUs < 1000) {
        const auto bytes = static_cast<std::uint64_t>(rate.rateBps() / 8.0 / 60.0 * use);
        rate.OnSent(bytes, nowUs);
        queue.push_back({nowUs, bytes, bytes});
      }
      const std::uint64_t serving = capacity ? capacity(nowUs) : bps;
      credit = queue.empty() ? 0 : credit + static_cast<double>(serving) / 8000;
      while (!queue.empty() && credit >= static_cast<double>(queue.front().left)) {
        credit -= static_cast<double>(queue.front().left);
        const Queued done = queue.front();
        queue.pop_front();
        acks.push_back({done.sentUs, 1000000000 + nowUs + standingUs + 5000, done.bytes,
                        nowUs + standingUs + 7000});
      }
      if (!queue.empty()) {
        const auto served = static_cast<std::uint64_t>(credit);
        queue.front().left -= served;
        credit -= static_cast<double>(served);
      }
      while (!acks.empty() && acks.front().nowUs <= nowUs) {
        rate.OnAck(acks.front());
        acks.pop_front();
      }
      if ((nowUs - kT0) % 10000 == 0) {
        if (auto change = rate.Update(0, nowUs)) {
          changes.push_back(*change);
        }
      }
    }
  }

  bool Cut() const {
    return std::any_of(changes.begin(), changes.end(),
                       [](const RateController::Change& c) { return c.toBps < c.fromBps; });
  }

  // The longest a frame has waited in the bottleneck.
  std::uint64_t QueuedUs() const { return queue.empty() ? 0 : nowUs - queue.front().sentUs; }
};

// A careful start that climbs while the link has room, a cut below what a
// slower link delivers, and the return when it recovers.
TEST(RateControllerTest, StartsCarefullyCutsBelowDeliveryAndReturns) {
  LinkModel link(12000000);
  EXPECT_EQ(link.rate.rateBps(), RateController::kStartBps);
  link.Run(3000000);
  EXPECT_EQ(link.rate.rateBps(), 12000000U);
  ASSERT_FALSE(link.changes.empty());
  // Each step at most kDeliveryCap past what the link was seen to deliver.
  for (const RateController::Change& step : link.changes) {
    EXPECT_LE(step.toBps, step.fromBps * RateController::kDeliveryCap * 1.05) << step.reason;
  }
  link.changes.clear();
  link.bps = 6000000;
  link.Run(2000000);
  ASSERT_TRUE(link.Cut());
  const RateController::Change& cut = link.changes.front();
  EXPECT_NE(cut.reason.find("queueing delay"), std::string::npos);
  // At most half at once, then below what the slower link delivers.
  EXPECT_EQ(cut.toBps, 6000000U);
  EXPECT_NEAR(link.rate.rateBps(), RateController::kDecreaseFactor * 6000000, 400000);
  link.bps = 20000000;
  link.Run(3000000);
  EXPECT_GE(link.rate.rateBps(), 0.8 * 12000000);
  // Capacity in bursts: 24 Mbit/s for 30 ms of every 75, 9.6 on average,
  // below the stream. Each burst drains the queue a little while it grows
  // overall: that is congestion, and the rate comes down to what the link
  // carries, with the queue held short.
  link.changes.clear();
  link.capacity = [](std::uint64_t atUs) { return atUs % 75000 < 30000 ? 24000000U : 0U; };
  link.Run(4000000);
  EXPECT_TRUE(link.Cut());
  EXPECT_LT(link.rate.rateBps(), 11000000U);  // near the 9.6 it carries, probing
  std::uint64_t longestUs = 0;
  for (int i = 0; i < 200; ++i) {
    link.Run(10000);
    longestUs = std::max(longestUs, link.QueuedUs());
  }
  EXPECT_LT(longestUs, 150000U);
}

// Stalls of up to 300 ms, a still desktop whose few frames a phone in
// power save holds back, and a burst of acknowledgements after a silence
// are no congestion: the rate never drops.
TEST(RateControllerTest, StallsHeldAcknowledgementsAndBunchesAreNoCongestion) {
  LinkModel link(12000000);
  link.Run(3000000);
  ASSERT_EQ(link.rate.rateBps(), 12000000U);
  link.changes.clear();
  for (const std::uint64_t stallUs : {80000, 150000, 300000}) {
    link.bps = 0;
    link.Run(stallUs);
    link.bps = 20000000;
    link.Run(1500000);
  }
  EXPECT_FALSE(link.Cut()) << link.changes.front().reason;

  // Still: a caret every 530 ms, each frame held 150 ms past the base by
  // the access point, for 10 s.
  std::uint64_t now = link.nowUs;
  for (int blink = 0; blink < 19; ++blink, now += 530000) {
    link.rate.OnSent(2000, now);
    link.rate.OnAck({now, 1000000000 + now + 155000, 2000, now + 157000});
    for (std::uint64_t t = now; t < now + 530000; t += 10000) {
      if (auto change = link.rate.Update(0, t + 157000)) link.changes.push_back(*change);
      EXPECT_GE(link.rate.rateBps(), 0.85 * 12000000);
    }
  }
  // A 200 ms silence, then three acknowledgements within 2 ms covering the
  // twelve frames sent meanwhile.
  for (std::uint64_t ack = 0; ack < 3; ++ack) {
    const std::uint64_t sentUs = now + (ack + 1) * 4 * kFrameUs;
    const std::uint64_t arrivedUs = now + 205000 + ack * 1000;
    link.rate.OnAck({sentUs, 1000000000 + arrivedUs, 100000, arrivedUs + 2000});  // four frames
    if (auto change = link.rate.Update(0, arrivedUs + 2000)) {
      link.changes.push_back(*change);
    }
  }
  EXPECT_FALSE(link.Cut());
}

// A bulk download beside the stream keeps the router's queue 200 ms deep
// and leaves half the link: cutting further would only hand the link over,
// so once a cut has not shortened that queue it counts as part of the path
// and the stream keeps its share.
TEST(RateControllerTest, AnotherFlowsStandingQueueJoinsTheBase) {
  LinkModel link(12000000);
  link.Run(3000000);
  link.standingUs = 200000;
  link.bps = 10000000;
  link.Run(5000000);
  std::uint32_t lowest = link.rate.rateBps();
  for (int i = 0; i < 500; ++i) {
    link.Run(10000);
    lowest = std::min(lowest, link.rate.rateBps());
  }
  EXPECT_GE(lowest, 3000000U);
}

// An encoder that uses a tenth of its rate (a still desktop) shows nothing
// of the link: the rate never climbs past kDeliveryCap times what was
// delivered, so here not at all.
TEST(RateControllerTest, NoIncreaseWhileTheEncoderLeavesItsRateUnused) {
  LinkModel link(20000000);
  link.use = 0.1;
  link.Run(20000000);
  EXPECT_TRUE(link.changes.empty());
  EXPECT_EQ(link.rate.rateBps(), RateController::kStartBps);
  // The same receiver back on a later connection starts from what its link
  // delivered, not from the careful start.
  RateController again;
  again.Reset(20000000, kT0);
  again.ResumeFrom(10000000);
  EXPECT_EQ(again.rateBps(), static_cast<std::uint32_t>(10000000 * RateController::kResumeShare));
}

// A path 15 ms longer (roaming) becomes the base within seconds, and a
// receiver clock that jumps ahead is no queue.
TEST(RateControllerTest, TheBaseFollowsANewPathAndAClockStep) {
  RateController rate;
  rate.Reset(100000000, kT0);
  std::uint64_t now = kT0;
  // A frame every 50 ms that uses the whole rate, each acknowledged before
  // the next leaves.
  const auto frames = [&](std::uint64_t forUs, std::int64_t delayUs, std::uint64_t clockUs) {
    for (const std::uint64_t end = now + forUs; now < end; now += 50000) {
      const std::uint64_t bytes = rate.rateBps() / 8 / 20;
      rate.OnSent(bytes, now);
      rate.OnAck({now, clockUs + now + static_cast<std::uint64_t>(delayUs), bytes,
                  now + static_cast<std::uint64_t>(delayUs) + 2000});
      const auto change = rate.Update(0, now + static_cast<std::uint64_t>(delayUs) + 2000);
      EXPECT_FALSE(change && change->toBps < change->fromBps) << change->reason;
    }
  };
  frames(1000000, 5000, 1000000000);
  EXPECT_GT(rate.rateBps(), RateController::kStartBps);
  // 15 ms more on the way: once the last quick frames are out of the
  // filter, no increase while it may be a queue; then the new base, and the
  // climb goes on.
  frames(RateController::kFilterUs + 50000, 20000, 1000000000);
  const std::uint32_t before = rate.rateBps();
  frames(BaseDelay::kPathShiftUs / 2, 20000, 1000000000);
  EXPECT_EQ(rate.rateBps(), before);
  frames(BaseDelay::kPathShiftUs, 20000, 1000000000);
  EXPECT_GT(rate.rateBps(), before);
  const std::uint32_t shifted = rate.rateBps();
  frames(1000000, 20000, 1005000000);  // the receiver's clock jumps 5 s
  EXPECT_GE(rate.rateBps(), shifted);
}

// Acks for 60 frames a second of |bytes| each sent over [fromUs, toUs),
// each arriving |delayUs| after it was sent and acknowledged 2 ms later.
void Acks(RateController& rate, std::uint64_t fromUs, std::uint64_t toUs, std::int64_t delayUs,
          std::uint64_t bytes) {
  for (std::uint64_t t = fromUs; t + kFrameUs / 2 < toUs; t += kFrameUs) {
    rate.OnSent(bytes, t);
    const auto arrivedUs = t + static_cast<std::uint64_t>(delayUs);
    rate.OnAck({t, 1000000000 + arrivedUs, bytes, arrivedUs + 2000});
  }
}

// A link just under the rate: the send window caps the queue below the
// overuse threshold and holds pictures back. The standing queue alone holds
// the rate; with pictures held back lately it trims it, once per hold.
TEST(RateControllerTest, AStandingQueueWhilePicturesAreHeldBackTrimsTheRate) {
  RateController rate;
  rate.Reset(12000000, kT0);
  Acks(rate, kT0, kT0 + 1000000, 5000, 6250);
  Acks(rate, kT0 + 1000000, kT0 + 1500000, 25000, 6250);  // 20 ms queued
  const std::uint64_t now = kT0 + 1530000;                // the last acknowledgement is in
  EXPECT_FALSE(rate.Update(0, now).has_value());
  rate.OnHeldBack(now - RateController::kFilterUs - 1);
  EXPECT_FALSE(rate.Update(0, now).has_value());
  rate.OnHeldBack(now);
  const auto trim = rate.Update(0, now);
  ASSERT_TRUE(trim.has_value());
  EXPECT_EQ(trim->toBps,
            static_cast<std::uint32_t>(RateController::kStartBps * RateController::kTrimFactor));
  EXPECT_NE(trim->reason.find("held back"), std::string::npos);
  rate.OnHeldBack(now + 100000);
  EXPECT_FALSE(rate.Update(0, now + 100000).has_value());
}

TEST(RateControllerTest, FloorCeilingAndBacklogWithoutAcks) {
  RateController rate;
  rate.Reset(12000000, kT0);
  // One keyframe being written when the run loop looks is not a queue.
  EXPECT_FALSE(rate.Update(400000, kT0).has_value());
  // No acknowledgements: 400 KB waiting at 3 Mbit/s is a second of video.
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
    Acks(rate, now - RateController::kIncreaseStepUs, now, 1000, 1100000 / 8 / 60);
    rate.Update(0, now);
  }
  EXPECT_EQ(rate.rateBps(), 1100000U);
  // Acknowledgements that stop (a Wi-Fi pause) with nothing waiting here
  // are no news of an empty queue: the rate holds until they come back.
  rate.SetCeiling(12000000);
  const std::uint32_t held = rate.rateBps();
  for (int i = 1; i < 12; ++i) {
    EXPECT_FALSE(rate.Update(0, now + i * RateController::kIncreaseStepUs).has_value()) << i;
  }
  EXPECT_EQ(rate.rateBps(), held);
}

}  // namespace
}  // namespace veyra

#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

namespace veyra {

// The encoder's bit rate, fitted to the link from what the host already
// learns: a delay-based controller in the manner of LEDBAT's base delay and
// Google Congestion Control's rate decrease.
//
// - Queueing delay: each FRAME_ACK gives a one-way delay, the receiver's
//   arrival time minus the host's send time. The two clocks differ by an
//   unknown constant, which the base delay (the smallest such delay over the
//   last minute, kept in kBaseBuckets buckets as LEDBAT keeps it) cancels:
//   delay minus base is the time the frame spent queued on the way.
// - Decrease: when the queueing delay stays above kOveruseUs (the lowest of
//   the last kFilterUs of samples, so that one keyframe's own transmission
//   time does not count), the rate drops to kDecreaseFactor of the delivery
//   rate the acknowledgements show over kDeliveryWindowUs: below what the
//   link carries, so that the queue drains. At most once per kHoldUs.
// - Increase: while the queueing delay stays under kUnderuseUs and the
//   host's own backlog is small, the rate grows every kIncreaseStepUs. The
//   first step after a decrease goes straight back to kResumeShare of the
//   delivery that decrease measured: the queue has drained, and the link
//   carried that much. Near the rate the link carried at the last decrease
//   it grows carefully, by
//   kIncreaseFactor (about 17 % a second), as GCC does near its link
//   capacity estimate: that is where the queue built last time. Once the
//   link has delivered kNearFactor more than that with the queue still
//   empty, it has evidently improved; from then on, while the
//   acknowledgements show the encoder using its rate (a still picture tests
//   nothing), the rate grows by kFastFactor a step (slow-start like, four
//   times a second) until the next decrease. The delay-based cut, and the
//   send window that bounds what is in flight, keep an overshoot short.
// - The backlog the connection reports (converted to time at the current
//   rate) counts as queueing delay too, and alone without acknowledgements.
//   Like the delay, only what stood the whole of the last kFilterUs counts:
//   a frame in the middle of being written, or one keyframe, is not a queue,
//   and would otherwise hold back every increase the run loop samples it in.
// Never below kFloorBps, never above the ceiling: the configured rate, or
// the receiver's SET_BITRATE.
//
// - Trim: a queue between the thresholds while the send window holds
//   pictures back (within the last kFilterUs) lowers the rate by
//   kTrimFactor, at most once per kHoldUs. On a link just under the rate
//   the window keeps the queue below kOveruseUs and drops pictures instead,
//   so without this the stream would sit there with a standing queue. A
//   trim leaves what the last decrease learnt of the link alone.
// Threads: OnAck on the receive thread, OnHeldBack on the capture thread,
// Update on the run thread, the rest
// from any thread; each call takes the controller's own lock, a leaf lock.
class RateController {
 public:
  static constexpr std::uint32_t kFloorBps = 1000000;
  static constexpr std::int64_t kOveruseUs = 40000;
  static constexpr std::int64_t kUnderuseUs = 10000;
  static constexpr std::uint64_t kFilterUs = 150000;
  static constexpr std::uint64_t kDeliveryWindowUs = 500000;
  static constexpr std::uint64_t kHoldUs = 500000;
  static constexpr std::uint64_t kIncreaseStepUs = 500000;
  static constexpr double kDecreaseFactor = 0.85;
  static constexpr double kIncreaseFactor = 1.08;
  // Acknowledgements cannot show more than the link carries, so 5 % past
  // the last cut is already news; waiting for 10 % cost about a second of
  // low rate after every improvement (measured with the link benchmark).
  static constexpr double kNearFactor = 1.05;
  static constexpr double kFastFactor = 2.0;
  static constexpr double kTrimFactor = 0.95;
  static constexpr double kResumeShare = 0.95;
  // The delivery rate, as a share of the rate, that shows the encoder using
  // its rate, so that the link is being tested (the acknowledgements lag a
  // step, and encoders send somewhat less than they are allowed).
  static constexpr double kKeepUpShare = 0.6;
  static constexpr std::size_t kBaseBuckets = 12;
  static constexpr std::uint64_t kBaseBucketUs = 5000000;

  // A change of rate and why.
  struct Change {
    std::uint32_t fromBps = 0;
    std::uint32_t toBps = 0;
    std::string reason;
  };

  // A new connection: the rate starts at |ceilingBps|, nothing is known of
  // the link.
  void Reset(std::uint32_t ceilingBps, std::uint64_t nowUs);
  // SET_BITRATE: a new ceiling; the rate follows it down at once.
  void SetCeiling(std::uint32_t ceilingBps);
  // One acknowledgement: arrival (receiver's clock) minus send (host's),
  // read as signed, and the bytes it newly covered.
  void OnAck(std::int64_t rawDelayUs, std::uint64_t ackedBytes, std::uint64_t nowUs);
  // The send window held a captured picture back.
  void OnHeldBack(std::uint64_t nowUs);
  // Decides, given the bytes waiting in the host ahead of a new frame; a
  // change when the rate moved.
  std::optional<Change> Update(std::uint64_t backlogBytes, std::uint64_t nowUs);

  std::uint32_t rateBps() const;

 private:
  struct Sample {
    std::uint64_t atUs = 0;
    std::int64_t rawDelayUs = 0;
    std::uint64_t bytes = 0;
  };

  struct Backlog {
    std::uint64_t atUs = 0;
    std::uint64_t bytes = 0;
  };

  std::optional<std::int64_t> QueueingDelayUs(std::uint64_t nowUs) const;
  std::uint64_t StandingBacklogBytes(std::uint64_t backlogBytes, std::uint64_t nowUs);
  std::uint64_t DeliveryBps(std::uint64_t nowUs) const;
  std::optional<Change> Decrease(std::int64_t delayUs, bool fromAcks, std::uint64_t nowUs);
  std::optional<Change> Trim(std::int64_t delayUs, std::uint64_t nowUs);
  std::optional<Change> Increase(std::int64_t delayUs, std::uint64_t nowUs);

  // Guards every field below.
  mutable std::mutex lock_;
  std::uint32_t ceilingBps_ = 0;
  std::uint32_t rateBps_ = 0;
  std::array<std::int64_t, kBaseBuckets> baseBuckets_{};  // minimum per bucket
  std::array<bool, kBaseBuckets> baseFilled_{};
  std::uint64_t baseBucketStartUs_ = 0;
  std::size_t baseBucket_ = 0;
  std::deque<Sample> recent_;  // the last kDeliveryWindowUs of samples
  // Update's backlogs over the last kFilterUs, after the last one before it.
  std::deque<Backlog> backlog_;
  std::uint64_t lastDecreaseUs_ = 0;
  std::uint64_t lastIncreaseUs_ = 0;
  std::uint64_t underuseSinceUs_ = 0;  // 0: not under use
  std::uint64_t heldBackUs_ = 0;       // the window's last hold; 0: none
  std::uint64_t lastTrimUs_ = 0;
  // What the link carried at the last decrease; 0 once the rate has got
  // clearly past it (or before any decrease): the fast ramp's condition.
  std::uint32_t lastCutBps_ = 0;
  // What the acknowledgements showed the link carrying at the last cut,
  // until the first increase after it; 0 when none.
  std::uint32_t resumeBps_ = 0;
};

}  // namespace veyra

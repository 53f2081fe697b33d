#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/session/base_delay.h"

namespace veyra {

// The encoder's bit rate, fitted to the link from what the host already
// learns: a delay-based controller in the manner of LEDBAT's base delay and
// Google Congestion Control's grouping and rate decrease. Wi-Fi is not a
// clean queue: capacity comes in bursts, the link stalls for a few hundred
// milliseconds now and then, a phone in power save holds acknowledgements
// and lets them go in bunches, and the desktop is mostly still. None of
// those is congestion, and each rule below says how it is told apart.
//
// - One-way delay: each FRAME_ACK gives the receiver's arrival time minus
//   the host's send time. The clocks differ by an unknown constant, which
//   the base delay cancels (BaseDelay, which also follows a longer path): delay
//   minus base is the time the frame spent queued on the way. A delay longer
//   than the frame's own round trip on the host's clock is impossible for a
//   queue: the receiver's clock stepped, and the base starts again.
// - A cut needs evidence. Acknowledgements whose arrivals lie within
//   kGroupUs of each other are one group (a bunch released after a hold is
//   one event, not many), each group counting its least delayed frame.
//   Congestion is the least queueing delay of at least kMinGroups groups
//   whose frames were sent over at least kPersistUs, above kOveruseUs, with
//   the queue not draining (a stall's backlog drains by itself once the
//   link returns). The trend is taken since the link was last silent for
//   kSilenceUs, else over kEvidenceSpanUs: capacity in bursts drains the
//   queue a little in every burst while it grows overall. Sparse frames (a
//   blinking caret) never make evidence.
// - Delivery is measured on the receiver's clock over busy periods only:
//   between two frames where the second was sent before the first arrived,
//   the link, not the encoder, set the gap. Gaps longer than kStallGapUs are
//   stalls, not capacity, and are left out.
// - Decrease: to kDecreaseFactor of that delivery, or of what the
//   acknowledgements carried over the last second (stalls left out) when
//   that is less, as it is when capacity comes in bursts: below what the
//   link carries, so that the queue drains; at most once per kHoldUs. The return
//   aims at the delivery measured before the cut; one cut takes at most
//   kDeepestCut of the rate. A queue that has drained less than half of
//   what the cut's unused share drains from a queue of ours, kCutEffectUs
//   after a cut below delivery, while the stream keeps pace
//   with what arrives, is not ours (a bulk download fills it): cutting
//   further would only hand the link over, so it joins the base and the
//   stream competes above it.
// - Increase: while the queueing delay stays under kUnderuseUs, every
//   kIncreaseStepUs, never past kDeliveryCap times the delivery, and never
//   while the encoder sends less than kKeepUpShare of its rate (a still
//   picture tests nothing). The first step after a decrease goes straight
//   back to kResumeShare of the delivery measured then. Near the rate the
//   link carried at the last decrease it grows by kIncreaseFactor (about
//   17 % a second), as GCC does near its capacity estimate; once the link
//   has delivered kNearFactor more than that it grows by kFastFactor a step.
// - Start: a connection starts at kStartBps, or at what the same receiver
//   was delivered the last time, and climbs fast while the link shows room.
// - The backlog the connection reports (converted to time at the current
//   rate) counts as queueing delay too, and alone without acknowledgements.
//   Only what stood the whole of the last kFilterUs counts: a frame in the
//   middle of being written, or one keyframe, is not a queue.
// - Trim: a queue between the thresholds while the send window holds
//   pictures back (within the last kFilterUs) lowers the rate by
//   kTrimFactor, at most once per kHoldUs: without it the stream would sit
//   on a standing queue just under the overuse threshold. After
//   kTrimsBeforeJudging trims in a row, a queue that is no shorter while the
//   stream keeps pace is another flow's, as for a cut.
// Never below kFloorBps, never above the ceiling: the configured rate, or
// the receiver's SET_BITRATE.
//
// Threads: OnAck on the receive thread, OnSent on the encoder thread,
// OnHeldBack on the capture thread, Update on the run thread, the rest from
// any thread; each call takes the controller's own lock, a leaf lock.
class RateController {
 public:
  static constexpr std::uint32_t kFloorBps = 1000000;
  static constexpr std::uint32_t kStartBps = 3000000;
  static constexpr std::int64_t kOveruseUs = 40000;
  static constexpr std::int64_t kUnderuseUs = 10000;
  // Past this a queue is cut even while it drains: no stall lasts so long.
  static constexpr std::int64_t kMaxQueueUs = 600000;
  static constexpr std::uint64_t kFilterUs = 150000;
  static constexpr std::uint64_t kGroupUs = 5000;
  static constexpr std::size_t kMinGroups = 3;
  static constexpr std::uint64_t kPersistUs = 100000;
  // Evidence is looked for among the frames sent this long before the
  // newest acknowledged one.
  static constexpr std::uint64_t kEvidenceSpanUs = 500000;
  // A queueing delay falling by more than this share of the time that
  // passes is a queue draining.
  static constexpr double kDrainSlope = -0.1;
  // Arrivals this far apart are a silence of the link: the trend that tells
  // a draining backlog is taken from there on.
  static constexpr std::uint64_t kSilenceUs = 75000;
  static constexpr std::uint64_t kDeliveryWindowUs = 1000000;
  static constexpr std::uint64_t kStallGapUs = 100000;
  // Busy time needed before a delivery counts as measured.
  static constexpr std::uint64_t kMinBusyUs = 50000;
  static constexpr std::uint64_t kHoldUs = 500000;
  static constexpr std::uint64_t kCutEffectUs = 1000000;
  static constexpr double kDeepestCut = 0.5;
  // Sending no more than this share of what arrives is keeping pace: the
  // queue is not growing because of us.
  static constexpr double kPaceShare = 1.1;
  // Trims in a row before a queue they leave as it was counts as another
  // flow's: a link just under the rate needs a few.
  static constexpr int kTrimsBeforeJudging = 3;
  static constexpr std::uint64_t kIncreaseStepUs = 500000;
  static constexpr double kDecreaseFactor = 0.85;
  static constexpr double kIncreaseFactor = 1.08;
  static constexpr double kNearFactor = 1.05;
  static constexpr double kFastFactor = 2.0;
  static constexpr double kDeliveryCap = 1.5;
  static constexpr double kTrimFactor = 0.95;
  static constexpr double kResumeShare = 0.95;
  // The share of its rate the encoder must send for the link to be tested
  // (encoders send somewhat less than they are allowed).
  static constexpr double kKeepUpShare = 0.5;
  // Slack for the impossible-delay test: the receiver stamps arrival a
  // little after the bytes are in.
  static constexpr std::int64_t kClockSlackUs = 20000;

  // A change of rate and why.
  struct Change {
    std::uint32_t fromBps = 0;
    std::uint32_t toBps = 0;
    std::string reason;
  };

  // One acknowledged frame.
  struct Ack {
    std::uint64_t sentUs = 0;      // host clock
    std::uint64_t receivedUs = 0;  // the receiver's clock
    std::uint64_t bytes = 0;       // newly covered by this acknowledgement
    std::uint64_t nowUs = 0;       // host clock, when the acknowledgement came
  };

  // A new connection: the rate starts at kStartBps (below the ceiling),
  // nothing is known of the link.
  void Reset(std::uint32_t ceilingBps, std::uint64_t nowUs);
  // The receiver is one that was delivered |deliveredBps| last time: the
  // rate starts close to that instead.
  void ResumeFrom(std::uint32_t deliveredBps);
  // SET_BITRATE, the receiver's own choice: the new ceiling, and the rate
  // from now on (the link may then hold it lower).
  void SetCeiling(std::uint32_t ceilingBps);
  void OnAck(const Ack& ack);
  // The encoder handed |bytes| to the connection.
  void OnSent(std::uint64_t bytes, std::uint64_t nowUs);
  // The send window held a captured picture back.
  void OnHeldBack(std::uint64_t nowUs);
  // Decides, given the bytes waiting in the host ahead of a new frame; a
  // change when the rate moved.
  std::optional<Change> Update(std::uint64_t backlogBytes, std::uint64_t nowUs);

  std::uint32_t rateBps() const;
  // The most the rate may climb to on this connection.
  std::uint32_t ceilingBps() const;
  // The link's delivery over its latest busy periods; 0 when unmeasured.
  std::uint32_t deliveredBps() const;

 private:
  struct Sample {
    std::uint64_t sentUs = 0;
    std::uint64_t receivedUs = 0;
    std::uint64_t bytes = 0;
    std::uint64_t atUs = 0;  // host clock, when acknowledged
    std::int64_t rawDelayUs = 0;
  };

  struct Stamp {
    std::uint64_t atUs = 0;
    std::uint64_t bytes = 0;
  };

  struct Evidence {
    bool enough = false;
    std::int64_t delayUs = 0;
    bool draining = false;
  };

  Evidence CongestionEvidence(std::int64_t baseUs) const;
  // Whether a queue of |delayUs| may be cut now: the last cut has had its
  // effect, and the queue is not another flow's.
  bool OursToCut(std::int64_t delayUs, std::uint64_t nowUs);
  std::optional<std::int64_t> CurrentDelayUs(std::int64_t baseUs, std::uint64_t nowUs) const;
  std::uint64_t StandingBacklogBytes(std::uint64_t backlogBytes, std::uint64_t nowUs);
  std::uint64_t BusyDeliveryBps(std::int64_t baseUs) const;
  std::uint64_t AckedBps(std::uint64_t nowUs) const;
  std::uint64_t SentBps(std::uint64_t nowUs) const;
  // What the link showed it carries, from the busy delivery and the
  // acknowledgements; 0 when neither is measured.
  std::uint64_t DeliveryBps(std::uint64_t busyBps, std::uint64_t nowUs) const;
  // Whether the stream sends no more than arrives: a queue that stands
  // then is not growing because of us.
  bool KeepingPace(std::uint64_t nowUs) const;
  std::optional<Change> Decrease(std::int64_t delayUs, std::uint64_t deliveryBps,
                                 std::uint64_t nowUs);
  std::optional<Change> Trim(std::int64_t delayUs, std::uint64_t nowUs);
  std::optional<Change> Increase(std::int64_t delayUs, std::uint64_t deliveryBps,
                                 std::uint64_t nowUs);

  // Guards every field below.
  mutable std::mutex lock_;
  std::uint32_t ceilingBps_ = 0;
  std::uint32_t rateBps_ = 0;
  BaseDelay base_;
  std::deque<Sample> recent_;  // the last kDeliveryWindowUs of samples
  std::deque<Stamp> sent_;     // the last kDeliveryWindowUs of sends
  // Update's backlogs over the last kFilterUs, after the last one before it.
  std::deque<Stamp> backlog_;
  std::uint64_t lastDecreaseUs_ = 0;
  std::uint64_t lastIncreaseUs_ = 0;
  std::uint64_t underuseSinceUs_ = 0;  // 0: not under use
  std::uint64_t heldBackUs_ = 0;       // the window's last hold; 0: none
  std::uint64_t lastTrimUs_ = 0;
  // What the link carried at the last decrease; 0 once the rate has got
  // clearly past it (or before any decrease): the fast ramp's condition.
  std::uint32_t lastCutBps_ = 0;
  // What the link delivered before the last cut, until the first increase
  // after it; 0 when none.
  std::uint32_t resumeBps_ = 0;
  std::uint32_t deliveredBps_ = 0;
  std::int64_t delayAtCutUs_ = 0;   // the evidence's delay at the last cut
  std::int64_t delayAtTrimUs_ = 0;  // the queue at the last trim
  bool cutBelowDelivery_ = false;   // the last cut went below what was delivered
  int trimsInRow_ = 0;              // trims each within 2 s of the one before
};

}  // namespace veyra

#include "host/session/rate_controller.h"

#include <algorithm>
#include <cstdio>

namespace veyra {
namespace {

std::string DecreaseReason(std::int64_t delayUs, std::uint64_t deliveryBps) {
  char text[128];
  const double delayMs = static_cast<double>(delayUs) / 1000.0;
  if (deliveryBps != 0) {
    std::snprintf(text, sizeof(text), "queueing delay %.0f ms; the link delivers %.2f Mbit/s",
                  delayMs, static_cast<double>(deliveryBps) / 1e6);
  } else {
    std::snprintf(text, sizeof(text), "%.0f ms of video waiting to be sent", delayMs);
  }
  return text;
}

std::string IncreaseReason(std::int64_t delayUs, bool fast) {
  char text[112];
  std::snprintf(text, sizeof(text), "queueing delay %.0f ms; the link has room%s",
                static_cast<double>(delayUs) / 1000.0, fast ? ", past where it last filled" : "");
  return text;
}

std::uint32_t Clamp(double bps, std::uint32_t floorBps, std::uint32_t ceilingBps) {
  return static_cast<std::uint32_t>(
      std::clamp<double>(bps, std::min(floorBps, ceilingBps), ceilingBps));
}

// Bits a second of |bytes| over |spanUs|; 0 for no time.
std::uint64_t Rate(std::uint64_t bytes, std::uint64_t spanUs) {
  return spanUs == 0 ? 0 : bytes * 8000000 / spanUs;
}

}  // namespace

void RateController::Reset(std::uint32_t ceilingBps, std::uint64_t nowUs) {
  const std::lock_guard<std::mutex> lock(lock_);
  ceilingBps_ = ceilingBps;
  rateBps_ = std::min(ceilingBps, kStartBps);
  base_.Reset(nowUs);
  recent_.clear();
  sent_.clear();
  // Nothing waits when the connection starts.
  backlog_.assign(1, Stamp{nowUs, 0});
  lastDecreaseUs_ = 0;
  lastIncreaseUs_ = 0;
  underuseSinceUs_ = 0;
  heldBackUs_ = 0;
  lastTrimUs_ = 0;
  lastCutBps_ = 0;
  resumeBps_ = 0;
  deliveredBps_ = 0;
  delayAtCutUs_ = 0;
  delayAtTrimUs_ = 0;
  trimsInRow_ = 0;
  cutBelowDelivery_ = false;
}

void RateController::ResumeFrom(std::uint32_t deliveredBps) {
  const std::lock_guard<std::mutex> lock(lock_);
  if (deliveredBps != 0) {
    rateBps_ = Clamp(static_cast<double>(deliveredBps) * kResumeShare, kFloorBps, ceilingBps_);
  }
}

void RateController::OnHeldBack(std::uint64_t nowUs) {
  const std::lock_guard<std::mutex> lock(lock_);
  heldBackUs_ = nowUs;
}

void RateController::SetCeiling(std::uint32_t ceilingBps) {
  const std::lock_guard<std::mutex> lock(lock_);
  ceilingBps_ = ceilingBps;
  rateBps_ = ceilingBps;
  // A return measured under another ceiling is no guide under this one.
  resumeBps_ = 0;
}

void RateController::OnSent(std::uint64_t bytes, std::uint64_t nowUs) {
  const std::lock_guard<std::mutex> lock(lock_);
  sent_.push_back(Stamp{nowUs, bytes});
  while (!sent_.empty() && nowUs - sent_.front().atUs > kDeliveryWindowUs) {
    sent_.pop_front();
  }
}

void RateController::OnAck(const Ack& ack) {
  const std::lock_guard<std::mutex> lock(lock_);
  const auto raw = static_cast<std::int64_t>(ack.receivedUs - ack.sentUs);
  const std::optional<std::int64_t> base = base_.Us();
  const auto roundTripUs = static_cast<std::int64_t>(ack.nowUs - ack.sentUs);
  if (base && raw - *base > roundTripUs + kClockSlackUs) {
    // No frame waits longer than its own round trip: the receiver's clock
    // jumped ahead, and every delay measured before is on another scale.
    base_.Restart();
    recent_.clear();
  }
  // Sent after the frame before had been acknowledged: nothing of ours
  // was ahead of it on the link.
  const bool idle = !recent_.empty() && ack.sentUs >= recent_.back().atUs;
  base_.Add(raw, idle, ack.nowUs);
  recent_.push_back(Sample{ack.sentUs, ack.receivedUs, ack.bytes, ack.nowUs, raw});
  while (!recent_.empty() && ack.nowUs - recent_.front().atUs > kDeliveryWindowUs) {
    recent_.pop_front();
  }
}

RateController::Evidence RateController::CongestionEvidence(std::int64_t baseUs) const {
  struct Group {
    std::uint64_t firstReceivedUs = 0;
    std::uint64_t lastReceivedUs = 0;
    std::uint64_t sentUs = 0;
    std::int64_t delayUs = 0;
  };
  Evidence evidence;
  if (recent_.empty()) {
    return evidence;
  }
  // Groups of arrivals, newest last.
  std::vector<Group> groups;
  const std::uint64_t newestSentUs = recent_.back().sentUs;
  for (const Sample& sample : recent_) {
    if (newestSentUs - std::min(newestSentUs, sample.sentUs) > kEvidenceSpanUs) {
      continue;
    }
    const std::int64_t delayUs = sample.rawDelayUs - baseUs;
    if (!groups.empty() && sample.receivedUs - groups.back().firstReceivedUs <= kGroupUs) {
      groups.back().delayUs = std::min(groups.back().delayUs, delayUs);
      groups.back().sentUs = sample.sentUs;
      groups.back().lastReceivedUs = sample.receivedUs;
      continue;
    }
    groups.push_back(Group{sample.receivedUs, sample.receivedUs, sample.sentUs, delayUs});
  }
  // The newest groups that together span kPersistUs of sending.
  std::size_t first = groups.size();
  while (first > 0) {
    --first;
    if (groups.size() - first >= kMinGroups &&
        groups.back().sentUs - groups[first].sentUs >= kPersistUs) {
      evidence.enough = true;
      break;
    }
  }
  if (!evidence.enough) {
    return evidence;
  }
  evidence.delayUs = groups[first].delayUs;
  for (std::size_t i = first; i < groups.size(); ++i) {
    evidence.delayUs = std::min(evidence.delayUs, groups[i].delayUs);
  }
  // The trend since the link last fell silent (a stall, whose backlog then
  // drains), else over the whole span: capacity that comes in bursts drains
  // the queue in each burst, and only the longer view shows it growing.
  std::size_t since = 0;
  for (std::size_t i = 1; i < groups.size(); ++i) {
    if (groups[i].firstReceivedUs - groups[i - 1].lastReceivedUs >= kSilenceUs) {
      since = i;
    }
  }
  if (groups.size() - since < kMinGroups) {
    // Too soon after a silence to tell a stall's backlog from a queue.
    evidence.draining = true;
    return evidence;
  }
  double n = 0;
  double sumX = 0;
  double sumY = 0;
  double sumXX = 0;
  double sumXY = 0;
  for (std::size_t i = since; i < groups.size(); ++i) {
    const Group& group = groups[i];
    const auto x = static_cast<double>(group.sentUs - groups[since].sentUs);
    const auto y = static_cast<double>(group.delayUs);
    n += 1;
    sumX += x;
    sumY += y;
    sumXX += x * x;
    sumXY += x * y;
  }
  const double spread = n * sumXX - sumX * sumX;
  const double slope = spread > 0 ? (n * sumXY - sumX * sumY) / spread : 0;
  evidence.draining = slope < kDrainSlope;
  return evidence;
}

std::optional<std::int64_t> RateController::CurrentDelayUs(std::int64_t baseUs,
                                                           std::uint64_t nowUs) const {
  std::optional<std::int64_t> current;
  for (const Sample& sample : recent_) {
    if (nowUs - sample.atUs <= kFilterUs && (!current || sample.rawDelayUs < *current)) {
      current = sample.rawDelayUs;
    }
  }
  if (!current) {
    return std::nullopt;
  }
  return *current - baseUs;
}

std::uint64_t RateController::StandingBacklogBytes(std::uint64_t backlogBytes,
                                                   std::uint64_t nowUs) {
  backlog_.push_back(Stamp{nowUs, backlogBytes});
  // Keep the last sample from before the window: the minimum then covers
  // the whole of it, however seldom the run loop looks.
  while (backlog_.size() >= 2 && nowUs - backlog_[1].atUs >= kFilterUs) {
    backlog_.pop_front();
  }
  std::uint64_t lowest = backlogBytes;
  for (const Stamp& sample : backlog_) {
    lowest = std::min(lowest, sample.bytes);
  }
  return lowest;
}

std::uint64_t RateController::BusyDeliveryBps(std::int64_t baseUs) const {
  std::uint64_t bytes = 0;
  std::uint64_t busyUs = 0;
  for (std::size_t i = 1; i < recent_.size(); ++i) {
    const Sample& before = recent_[i - 1];
    const Sample& sample = recent_[i];
    // On the receiver's clock, the earliest this frame could have arrived
    // with no queue at all: after the one before it had, the link was busy
    // in between and set the gap.
    const auto earliestUs = static_cast<std::int64_t>(sample.sentUs) + baseUs;
    const bool busy = earliestUs < static_cast<std::int64_t>(before.receivedUs);
    if (!busy || sample.receivedUs < before.receivedUs) {
      continue;
    }
    const std::uint64_t gapUs = sample.receivedUs - before.receivedUs;
    if (gapUs > kStallGapUs) {
      continue;  // a stall, not the link's rate
    }
    bytes += sample.bytes;
    busyUs += gapUs;
  }
  return busyUs < kMinBusyUs ? 0 : Rate(bytes, busyUs);
}

std::uint64_t RateController::AckedBps(std::uint64_t nowUs) const {
  if (recent_.size() < 2) {
    return 0;
  }
  // The first sample's bytes arrived before the span starts. Silences
  // longer than kStallGapUs are stalls, not the link's rate: left out.
  std::uint64_t bytes = 0;
  const std::uint64_t sinceLastUs = nowUs - recent_.back().atUs;
  std::uint64_t spanUs = sinceLastUs > kStallGapUs ? 0 : sinceLastUs;
  for (std::size_t i = 1; i < recent_.size(); ++i) {
    bytes += recent_[i].bytes;
    const std::uint64_t gapUs = recent_[i].atUs - recent_[i - 1].atUs;
    spanUs += gapUs > kStallGapUs ? 0 : gapUs;
  }
  return Rate(bytes, spanUs);
}

std::uint64_t RateController::SentBps(std::uint64_t nowUs) const {
  std::uint64_t bytes = 0;
  for (const Stamp& stamp : sent_) {
    if (stamp.atUs + kDeliveryWindowUs >= nowUs) {
      bytes += stamp.bytes;
    }
  }
  return Rate(bytes, kDeliveryWindowUs);
}

std::uint64_t RateController::DeliveryBps(std::uint64_t busyBps, std::uint64_t nowUs) const {
  // The busy moments, but no more than the last second brought in all: with
  // capacity in bursts, that is below what the busy moments alone suggest.
  const std::uint64_t ackedBps = AckedBps(nowUs);
  return busyBps != 0 && ackedBps != 0 ? std::min(busyBps, ackedBps) : std::max(busyBps, ackedBps);
}

bool RateController::KeepingPace(std::uint64_t nowUs) const {
  return static_cast<double>(SentBps(nowUs)) <= static_cast<double>(AckedBps(nowUs)) * kPaceShare;
}

std::optional<RateController::Change> RateController::Update(std::uint64_t backlogBytes,
                                                             std::uint64_t nowUs) {
  const std::lock_guard<std::mutex> lock(lock_);
  const std::optional<std::int64_t> base = base_.Us();
  const Evidence evidence = base ? CongestionEvidence(*base) : Evidence{};
  const std::optional<std::int64_t> currentUs = base ? CurrentDelayUs(*base, nowUs) : std::nullopt;
  const std::uint64_t busyBps = base ? BusyDeliveryBps(*base) : 0;
  if (busyBps != 0) {
    deliveredBps_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(busyBps, UINT32_MAX));
  }
  const std::uint64_t standingBytes = StandingBacklogBytes(backlogBytes, nowUs);
  const auto backlogDelayUs =
      static_cast<std::int64_t>(rateBps_ == 0 ? 0 : standingBytes * 8000000 / rateBps_);
  const bool congested = evidence.enough && evidence.delayUs > kOveruseUs &&
                         (!evidence.draining || evidence.delayUs > kMaxQueueUs);
  if (congested && backlogDelayUs <= kOveruseUs && !OursToCut(evidence.delayUs, nowUs)) {
    underuseSinceUs_ = 0;
    return std::nullopt;
  }
  if (congested || backlogDelayUs > kOveruseUs) {
    underuseSinceUs_ = 0;
    const bool fromAcks = congested && evidence.delayUs >= backlogDelayUs;
    const std::uint64_t deliveryBps = fromAcks ? DeliveryBps(busyBps, nowUs) : 0;

    return Decrease(std::max(congested ? evidence.delayUs : 0, backlogDelayUs), deliveryBps, nowUs);
  }
  const std::int64_t delayUs = std::max(currentUs.value_or(0), backlogDelayUs);
  if (evidence.enough && evidence.delayUs >= kUnderuseUs && !evidence.draining &&
      heldBackUs_ != 0 && nowUs - heldBackUs_ <= kFilterUs) {
    underuseSinceUs_ = 0;
    return Trim(evidence.delayUs, nowUs);
  }
  if (delayUs >= kUnderuseUs || (!currentUs && (!recent_.empty() || backlogBytes == 0))) {
    // Between the thresholds the rate holds. Without a recent delay it
    // holds too: acknowledgements that came and then stopped (a Wi-Fi
    // pause) are no news of an empty queue, and with no acknowledgements
    // and nothing waiting there is no news at all.
    underuseSinceUs_ = 0;
    return std::nullopt;
  }
  if (underuseSinceUs_ == 0) {
    underuseSinceUs_ = nowUs;
  }
  return Increase(delayUs, DeliveryBps(busyBps, nowUs), nowUs);
}

std::optional<RateController::Change> RateController::Decrease(std::int64_t delayUs,
                                                               std::uint64_t deliveryBps,
                                                               std::uint64_t nowUs) {
  if (lastDecreaseUs_ != 0 && nowUs - lastDecreaseUs_ < kHoldUs) {
    return std::nullopt;
  }
  const std::uint64_t basisBps =
      deliveryBps != 0 ? std::min<std::uint64_t>(deliveryBps, rateBps_) : rateBps_;
  // At most half at once: a sudden queue (a download starting beside the
  // stream) is not yet a measure of the link, and the send window bounds
  // the delay meanwhile.
  const double belowDelivery = static_cast<double>(basisBps) * kDecreaseFactor;
  const std::uint32_t target =
      Clamp(std::max(belowDelivery, rateBps_ * kDeepestCut), kFloorBps, ceilingBps_);
  lastDecreaseUs_ = nowUs;
  // Only a cut below what the acknowledgements showed delivered tells whose
  // queue it is: ours drains after it.
  cutBelowDelivery_ = deliveryBps != 0 && target <= belowDelivery + 1;
  if (target >= rateBps_) {
    return std::nullopt;
  }
  lastCutBps_ = static_cast<std::uint32_t>(basisBps);
  delayAtCutUs_ = delayUs;
  // Only a delivery the acknowledgements showed is worth returning to; a
  // rate that merely filled the host's own queue is not. Measured over busy
  // periods without stalls, it is what the link carried before the queue.
  resumeBps_ = deliveryBps != 0 ? lastCutBps_ : 0;
  Change change{rateBps_, target, DecreaseReason(delayUs, deliveryBps)};
  rateBps_ = target;
  return change;
}

bool RateController::OursToCut(std::int64_t delayUs, std::uint64_t nowUs) {
  if (lastDecreaseUs_ == 0) {
    return true;
  }
  const std::uint64_t sinceCutUs = nowUs - lastDecreaseUs_;
  if (sinceCutUs < kCutEffectUs) {
    // The last cut has not had its effect yet.
    return false;
  }
  // A cut below delivery leaves at least 1 - kDecreaseFactor of the link
  // unused, which drains a queue of ours by that share of the time since,
  // unless we still send more than arrives. A queue that lost less than
  // half of that is not ours: what it lost was our own part of it.
  const auto drainedUs = static_cast<double>(delayAtCutUs_ - delayUs);
  const bool notOurs = drainedUs < (1.0 - kDecreaseFactor) * static_cast<double>(sinceCutUs) / 2.0;
  if (cutBelowDelivery_ && sinceCutUs <= 2 * kCutEffectUs && notOurs && KeepingPace(nowUs)) {
    // Another flow's queue: the stream competes for its share above it,
    // and yields again only to a queue that grows past it.
    base_.Raise(delayUs);
    return false;
  }
  return true;
}

std::optional<RateController::Change> RateController::Trim(std::int64_t delayUs,
                                                           std::uint64_t nowUs) {
  if (nowUs - std::max(lastTrimUs_, lastDecreaseUs_) < kHoldUs) {
    return std::nullopt;
  }
  // As for a cut: a queue that the last trim left no shorter, while the
  // stream keeps pace with what arrives, is another flow's.
  if (lastTrimUs_ != 0 && nowUs - lastTrimUs_ <= 2 * kCutEffectUs && delayUs >= delayAtTrimUs_ &&
      KeepingPace(nowUs) && trimsInRow_ >= kTrimsBeforeJudging) {
    // Another flow's queue: the stream competes for its share above it,
    // and yields again only to a queue that grows past it.
    base_.Raise(delayUs);
    trimsInRow_ = 0;
    return std::nullopt;
  }
  trimsInRow_ = lastTrimUs_ != 0 && nowUs - lastTrimUs_ <= 2 * kCutEffectUs ? trimsInRow_ + 1 : 1;
  delayAtTrimUs_ = delayUs;
  lastTrimUs_ = nowUs;
  const std::uint32_t target =
      Clamp(static_cast<double>(rateBps_) * kTrimFactor, kFloorBps, ceilingBps_);
  if (target >= rateBps_) {
    return std::nullopt;
  }
  char text[96];
  std::snprintf(text, sizeof(text), "queueing delay %.0f ms with pictures held back",
                static_cast<double>(delayUs) / 1000.0);
  Change change{rateBps_, target, text};
  rateBps_ = target;
  return change;
}

std::optional<RateController::Change> RateController::Increase(std::int64_t delayUs,
                                                               std::uint64_t deliveryBps,
                                                               std::uint64_t nowUs) {
  const std::uint64_t sinceUs = std::max({underuseSinceUs_, lastIncreaseUs_, lastDecreaseUs_});
  if (nowUs - sinceUs < kIncreaseStepUs || rateBps_ >= ceilingBps_) {
    return std::nullopt;
  }
  const auto rate = static_cast<double>(rateBps_);
  // A picture that uses little of its rate tests nothing of the link: an
  // increase then is a guess that the next scroll pays for.
  if (static_cast<double>(SentBps(nowUs)) < rate * kKeepUpShare || deliveryBps == 0) {
    return std::nullopt;
  }
  lastIncreaseUs_ = nowUs;
  // The queue has just stayed empty for a whole step: the link delivering
  // kNearFactor past what it carried at the last decrease is news of a
  // better link.
  const auto delivery = static_cast<double>(deliveryBps);
  if (delivery > static_cast<double>(lastCutBps_) * kNearFactor) {
    lastCutBps_ = 0;
  }
  const bool fast = lastCutBps_ == 0;
  double wanted = std::min(rate * (fast ? kFastFactor : kIncreaseFactor), delivery * kDeliveryCap);
  if (!fast && resumeBps_ != 0) {
    // The queue the cut was for has drained, and the link was seen to
    // carry resumeBps_ before it: the rate returns close to it at once.
    wanted = std::max(wanted, static_cast<double>(resumeBps_) * kResumeShare);
  }
  resumeBps_ = 0;
  const auto target = static_cast<std::uint32_t>(std::min<double>(wanted, ceilingBps_));
  if (target <= rateBps_) {
    return std::nullopt;
  }
  Change change{rateBps_, target, IncreaseReason(delayUs, fast)};
  rateBps_ = target;
  return change;
}

std::uint32_t RateController::rateBps() const {
  const std::lock_guard<std::mutex> lock(lock_);
  return rateBps_;
}

std::uint32_t RateController::ceilingBps() const {
  const std::lock_guard<std::mutex> lock(lock_);
  return ceilingBps_;
}

std::uint32_t RateController::deliveredBps() const {
  const std::lock_guard<std::mutex> lock(lock_);
  return deliveredBps_;
}

}  // namespace veyra

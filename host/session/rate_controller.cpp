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

}  // namespace

void RateController::Reset(std::uint32_t ceilingBps, std::uint64_t nowUs) {
  const std::lock_guard<std::mutex> lock(lock_);
  ceilingBps_ = ceilingBps;
  rateBps_ = ceilingBps;
  baseBuckets_.fill(0);
  baseFilled_.fill(false);
  baseBucketStartUs_ = nowUs;
  baseBucket_ = 0;
  recent_.clear();
  // Nothing waits when the connection starts.
  backlog_.assign(1, Backlog{nowUs, 0});
  lastDecreaseUs_ = 0;
  lastIncreaseUs_ = 0;
  underuseSinceUs_ = 0;
  heldBackUs_ = 0;
  lastTrimUs_ = 0;
  lastCutBps_ = 0;
  resumeBps_ = 0;
}

void RateController::OnHeldBack(std::uint64_t nowUs) {
  const std::lock_guard<std::mutex> lock(lock_);
  heldBackUs_ = nowUs;
}

void RateController::SetCeiling(std::uint32_t ceilingBps) {
  const std::lock_guard<std::mutex> lock(lock_);
  ceilingBps_ = ceilingBps;
  rateBps_ = std::min(rateBps_, ceilingBps);
  // A return measured under another ceiling is no guide under this one.
  resumeBps_ = 0;
}

void RateController::OnAck(std::int64_t rawDelayUs, std::uint64_t ackedBytes, std::uint64_t nowUs) {
  const std::lock_guard<std::mutex> lock(lock_);
  // Older buckets fall out as time passes, so that a base delay taken on
  // another route (or before the clocks drifted) does not stay for ever.
  if (nowUs - baseBucketStartUs_ >= kBaseBucketUs * kBaseBuckets) {
    baseFilled_.fill(false);
    baseBucketStartUs_ = nowUs;
  }
  while (nowUs - baseBucketStartUs_ >= kBaseBucketUs) {
    baseBucket_ = (baseBucket_ + 1) % kBaseBuckets;
    baseFilled_[baseBucket_] = false;
    baseBucketStartUs_ += kBaseBucketUs;
  }
  if (!baseFilled_[baseBucket_] || rawDelayUs < baseBuckets_[baseBucket_]) {
    baseBuckets_[baseBucket_] = rawDelayUs;
    baseFilled_[baseBucket_] = true;
  }
  recent_.push_back(Sample{nowUs, rawDelayUs, ackedBytes});
  while (!recent_.empty() && nowUs - recent_.front().atUs > kDeliveryWindowUs) {
    recent_.pop_front();
  }
}

std::optional<std::int64_t> RateController::QueueingDelayUs(std::uint64_t nowUs) const {
  std::optional<std::int64_t> base;
  for (std::size_t i = 0; i < kBaseBuckets; ++i) {
    if (baseFilled_[i] && (!base || baseBuckets_[i] < *base)) {
      base = baseBuckets_[i];
    }
  }
  std::optional<std::int64_t> current;
  for (const Sample& sample : recent_) {
    if (nowUs - sample.atUs <= kFilterUs && (!current || sample.rawDelayUs < *current)) {
      current = sample.rawDelayUs;
    }
  }
  if (!base || !current) {
    return std::nullopt;
  }
  return *current - *base;
}

std::uint64_t RateController::StandingBacklogBytes(std::uint64_t backlogBytes,
                                                   std::uint64_t nowUs) {
  backlog_.push_back(Backlog{nowUs, backlogBytes});
  // Keep the last sample from before the window: the minimum then covers
  // the whole of it, however seldom the run loop looks.
  while (backlog_.size() >= 2 && nowUs - backlog_[1].atUs >= kFilterUs) {
    backlog_.pop_front();
  }
  std::uint64_t lowest = backlogBytes;
  for (const Backlog& sample : backlog_) {
    lowest = std::min(lowest, sample.bytes);
  }
  return lowest;
}

std::uint64_t RateController::DeliveryBps(std::uint64_t nowUs) const {
  if (recent_.size() < 2) {
    return 0;
  }
  std::uint64_t bytes = 0;
  for (const Sample& sample : recent_) {
    bytes += sample.bytes;
  }
  // The first sample's bytes arrived before the span starts.
  bytes -= recent_.front().bytes;
  const std::uint64_t spanUs = nowUs - recent_.front().atUs;
  return spanUs == 0 ? 0 : bytes * 8000000 / spanUs;
}

std::optional<RateController::Change> RateController::Update(std::uint64_t backlogBytes,
                                                             std::uint64_t nowUs) {
  const std::lock_guard<std::mutex> lock(lock_);
  const std::optional<std::int64_t> ackDelayUs = QueueingDelayUs(nowUs);
  const std::uint64_t standingBytes = StandingBacklogBytes(backlogBytes, nowUs);
  const auto backlogDelayUs =
      static_cast<std::int64_t>(rateBps_ == 0 ? 0 : standingBytes * 8000000 / rateBps_);
  const std::int64_t delayUs = std::max(ackDelayUs.value_or(0), backlogDelayUs);
  if (delayUs > kOveruseUs) {
    underuseSinceUs_ = 0;
    return Decrease(delayUs, ackDelayUs.has_value() && *ackDelayUs >= backlogDelayUs, nowUs);
  }
  if (delayUs >= kUnderuseUs && heldBackUs_ != 0 && nowUs - heldBackUs_ <= kFilterUs) {
    underuseSinceUs_ = 0;
    return Trim(delayUs, nowUs);
  }
  if (delayUs >= kUnderuseUs || (!ackDelayUs && (!recent_.empty() || backlogBytes == 0))) {
    // Between the thresholds the rate holds. Without a recent delay it
    // holds too: acknowledgements that came and then stopped (a Wi-Fi
    // pause) are no news of an empty queue, and with no acknowledgements
    // and nothing waiting there is no news at all (a still desktop sends
    // nothing to learn from).
    underuseSinceUs_ = 0;
    return std::nullopt;
  }
  if (underuseSinceUs_ == 0) {
    underuseSinceUs_ = nowUs;
  }
  return Increase(delayUs, nowUs);
}

std::optional<RateController::Change> RateController::Decrease(std::int64_t delayUs, bool fromAcks,
                                                               std::uint64_t nowUs) {
  if (lastDecreaseUs_ != 0 && nowUs - lastDecreaseUs_ < kHoldUs) {
    return std::nullopt;
  }
  const std::uint64_t deliveryBps = fromAcks ? DeliveryBps(nowUs) : 0;
  const std::uint64_t basisBps =
      deliveryBps != 0 ? std::min<std::uint64_t>(deliveryBps, rateBps_) : rateBps_;
  const auto target =
      static_cast<std::uint32_t>(std::clamp<double>(static_cast<double>(basisBps) * kDecreaseFactor,
                                                    std::min(kFloorBps, ceilingBps_), ceilingBps_));
  lastDecreaseUs_ = nowUs;
  if (target >= rateBps_) {
    return std::nullopt;
  }
  lastCutBps_ = static_cast<std::uint32_t>(basisBps);
  // Only a delivery the acknowledgements showed is worth returning to; a
  // rate that merely filled the host's own queue is not.
  resumeBps_ = deliveryBps != 0 ? lastCutBps_ : 0;
  Change change{rateBps_, target, DecreaseReason(delayUs, deliveryBps)};
  rateBps_ = target;
  return change;
}

std::optional<RateController::Change> RateController::Trim(std::int64_t delayUs,
                                                           std::uint64_t nowUs) {
  if (nowUs - std::max(lastTrimUs_, lastDecreaseUs_) < kHoldUs) {
    return std::nullopt;
  }
  lastTrimUs_ = nowUs;
  const auto target = static_cast<std::uint32_t>(std::max<double>(
      static_cast<double>(rateBps_) * kTrimFactor, std::min(kFloorBps, ceilingBps_)));
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
                                                               std::uint64_t nowUs) {
  const std::uint64_t sinceUs = std::max({underuseSinceUs_, lastIncreaseUs_, lastDecreaseUs_});
  if (nowUs - sinceUs < kIncreaseStepUs || rateBps_ >= ceilingBps_) {
    return std::nullopt;
  }
  lastIncreaseUs_ = nowUs;
  // The queue has just stayed empty for a whole step: the link delivering
  // kNearFactor past what it carried at the last decrease is news of a
  // better link. Delivered, not asked for: an encoder often sends less than
  // its rate.
  const auto rate = static_cast<double>(rateBps_);
  const auto deliveryBps = static_cast<double>(DeliveryBps(nowUs));
  if (deliveryBps > static_cast<double>(lastCutBps_) * kNearFactor) {
    lastCutBps_ = 0;
  }
  const bool fast = lastCutBps_ == 0 && deliveryBps >= rate * kKeepUpShare;
  double wanted = rate * (fast ? kFastFactor : kIncreaseFactor);
  if (!fast && resumeBps_ != 0) {
    // The queue the cut was for has drained, and the link was seen to
    // carry resumeBps_ then: the rate returns close to it at once.
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

}  // namespace veyra

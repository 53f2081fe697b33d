#include "host/session/base_delay.h"

#include <algorithm>

namespace veyra {

void BaseDelay::Reset(std::uint64_t nowUs) {
  buckets_.fill(0);
  filled_.fill(false);
  bucketStartUs_ = nowUs;
  bucket_ = 0;
  idle_.clear();
}

void BaseDelay::Restart() {
  filled_.fill(false);
  idle_.clear();
}

void BaseDelay::Add(std::int64_t rawDelayUs, bool idle, std::uint64_t nowUs) {
  if (idle) {
    idle_.emplace_back(nowUs, rawDelayUs);
  }
  while (!idle_.empty() && nowUs - idle_.front().first > kPathShiftUs) {
    idle_.pop_front();
  }
  // Older buckets fall out as time passes, so that a base delay taken on
  // another route (or before the clocks drifted) does not stay for ever.
  if (nowUs - bucketStartUs_ >= kBucketUs * kBuckets) {
    filled_.fill(false);
    bucketStartUs_ = nowUs;
  }
  while (nowUs - bucketStartUs_ >= kBucketUs) {
    bucket_ = (bucket_ + 1) % kBuckets;
    filled_[bucket_] = false;
    bucketStartUs_ += kBucketUs;
  }
  if (!filled_[bucket_] || rawDelayUs < buckets_[bucket_]) {
    buckets_[bucket_] = rawDelayUs;
    filled_[bucket_] = true;
  }
  FollowPathShift(nowUs);
}

void BaseDelay::FollowPathShift(std::uint64_t nowUs) {
  const std::optional<std::int64_t> base = Us();
  if (!base || idle_.size() < kMinIdleSamples ||
      nowUs - idle_.front().first < kPathShiftUs * 3 / 4) {
    return;
  }
  std::int64_t lowest = idle_.front().second;
  for (const auto& [atUs, raw] : idle_) {
    lowest = std::min(lowest, raw);
  }
  if (lowest - *base <= kShiftUs) {
    return;
  }
  // Every frame that had the link to itself for seconds came in later than
  // the base: the path itself got longer.
  StartAt(lowest);
}

void BaseDelay::Raise(std::int64_t delayUs) {
  if (const std::optional<std::int64_t> base = Us()) {
    StartAt(*base + delayUs);
  }
}

void BaseDelay::StartAt(std::int64_t rawDelayUs) {
  filled_.fill(false);
  buckets_[bucket_] = rawDelayUs;
  filled_[bucket_] = true;
}

std::optional<std::int64_t> BaseDelay::Us() const {
  std::optional<std::int64_t> base;
  for (std::size_t i = 0; i < kBuckets; ++i) {
    if (filled_[i] && (!base || buckets_[i] < *base)) {
      base = buckets_[i];
    }
  }
  return base;
}

}  // namespace veyra

#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

namespace veyra {

// The one-way delay of an empty path, on the receiver's clock minus ours:
// the smallest delay over the last minute, kept in kBuckets buckets as
// LEDBAT keeps its base delay, so that delay minus base is the time a frame
// spent queued on the way.
//
// It follows the path. A lower delay lowers it at once. A path that got
// longer (roaming, another band) raises it within kPathShiftUs: when every
// frame sent after the one before it had been acknowledged (so that none of
// ours could queue ahead of it) shows more than the base for that long, the
// smallest of them is the new base. Our own standing queue cannot become the
// base that way, because a frame only stands in it behind frames of ours.
//
// Not locked: its owner's lock guards it.
class BaseDelay {
 public:
  static constexpr std::size_t kBuckets = 12;
  static constexpr std::uint64_t kBucketUs = 5000000;
  static constexpr std::uint64_t kPathShiftUs = 3000000;
  static constexpr std::size_t kMinIdleSamples = 8;
  // A rise of the idle frames' delay above the base by more than this is a
  // longer path.
  static constexpr std::int64_t kShiftUs = 10000;

  // Nothing known, buckets counted from |nowUs|.
  void Reset(std::uint64_t nowUs);
  // The receiver's clock stepped: every delay so far is on another scale.
  void Restart();
  // A frame's delay, acknowledged at |nowUs|; |idle| when it was sent after
  // the frame before had been acknowledged.
  void Add(std::int64_t rawDelayUs, bool idle, std::uint64_t nowUs);
  // Another flow's standing queue of |delayUs| is part of the path while it
  // stands; a lower delay takes the base back down at once.
  void Raise(std::int64_t delayUs);
  // None before the first delay.
  std::optional<std::int64_t> Us() const;

 private:
  void FollowPathShift(std::uint64_t nowUs);
  // Replaces every bucket with |rawDelayUs|.
  void StartAt(std::int64_t rawDelayUs);

  std::array<std::int64_t, kBuckets> buckets_{};  // minimum per bucket
  std::array<bool, kBuckets> filled_{};
  std::uint64_t bucketStartUs_ = 0;
  std::size_t bucket_ = 0;
  // Delays of idle frames over the last kPathShiftUs: {when acknowledged,
  // raw delay}.
  std::deque<std::pair<std::uint64_t, std::int64_t>> idle_;
};

}  // namespace veyra

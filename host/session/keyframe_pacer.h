#pragma once

#include <cstdint>
#include <mutex>

namespace veyra {

// Keeps the receiver's chain of reference pictures whole. Every P-frame
// refers to the frame before it, so once an encoded frame does not go out
// (the send queue refused it, the receiver was not showing the picture) no
// later P-frame may go either: they are held back until a keyframe starts
// the chain again. Keyframes are expensive on a slow link, so forcing one
// happens at most once per kMinGapUs; requests that come within that time
// (REQUEST_IDR, a resumed picture, another discard) merge into the next.
//
// Threads: Admit and Discarded on the encoder thread, ShouldForce on the
// capture thread, Reset under the pipeline lock; each call takes the
// pacer's own lock, a leaf lock.
class KeyframePacer {
 public:
  static constexpr std::uint64_t kMinGapUs = 1000000;

  // A new pipeline: the chain starts with its first keyframe, which may be
  // forced at once.
  void Reset();

  // Whether an encoded frame may go out. A keyframe always may, and mends
  // the chain.
  bool Admit(bool keyframe);

  // An encoded frame (admitted or not) did not go out. True when this broke
  // a whole chain.
  bool Discarded();

  // Whether to ask the encoder for a keyframe now: when |requested| or the
  // chain is broken, and no keyframe was forced within kMinGapUs.
  bool ShouldForce(bool requested, std::uint64_t nowUs);

  // Whether ShouldForce would force now if asked: no keyframe was forced
  // within kMinGapUs.
  bool ForceAllowed(std::uint64_t nowUs) const;

  bool broken() const;
  std::uint64_t forcedKeyframes() const;

 private:
  bool ForceAllowedLocked(std::uint64_t nowUs) const;

  // Guards every field below.
  mutable std::mutex lock_;
  bool broken_ = false;
  std::uint64_t lastForcedUs_ = 0;  // 0: none since Reset
  std::uint64_t forced_ = 0;
};

}  // namespace veyra

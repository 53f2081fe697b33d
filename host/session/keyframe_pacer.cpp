#include "host/session/keyframe_pacer.h"

namespace veyra {

void KeyframePacer::Reset() {
  const std::lock_guard<std::mutex> lock(lock_);
  broken_ = false;
  lastForcedUs_ = 0;
}

bool KeyframePacer::Admit(bool keyframe) {
  const std::lock_guard<std::mutex> lock(lock_);
  if (keyframe) {
    broken_ = false;
  }
  return !broken_;
}

bool KeyframePacer::Discarded() {
  const std::lock_guard<std::mutex> lock(lock_);
  const bool wasWhole = !broken_;
  broken_ = true;
  return wasWhole;
}

bool KeyframePacer::ShouldForce(bool requested, std::uint64_t nowUs) {
  const std::lock_guard<std::mutex> lock(lock_);
  if (!requested && !broken_) {
    return false;
  }
  if (!ForceAllowedLocked(nowUs)) {
    return false;
  }
  lastForcedUs_ = nowUs != 0 ? nowUs : 1;
  ++forced_;
  return true;
}

bool KeyframePacer::ForceAllowed(std::uint64_t nowUs) const {
  const std::lock_guard<std::mutex> lock(lock_);
  return ForceAllowedLocked(nowUs);
}

bool KeyframePacer::ForceAllowedLocked(std::uint64_t nowUs) const {
  return lastForcedUs_ == 0 || nowUs - lastForcedUs_ >= kMinGapUs;
}

bool KeyframePacer::broken() const {
  const std::lock_guard<std::mutex> lock(lock_);
  return broken_;
}

std::uint64_t KeyframePacer::forcedKeyframes() const {
  const std::lock_guard<std::mutex> lock(lock_);
  return forced_;
}

}  // namespace veyra

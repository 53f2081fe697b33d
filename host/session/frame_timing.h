#pragma once

#include <array>
#include <cstdint>
#include <mutex>

namespace veyra {

// One captured frame's way through the host, in NowUs microseconds; 0 where
// the frame has not got that far (or its record was overwritten).
struct FrameTiming {
  std::uint64_t frameId = 0;
  std::uint64_t loopStartUs = 0;    // the capture pass that produced it began
  std::uint64_t captureTimeUs = 0;  // the source's capture time
  std::uint64_t convertedUs = 0;    // the GPU finished the colour conversion
  std::uint64_t encodedTimeUs = 0;  // the encoder delivered it
  std::uint64_t sentUs = 0;         // its VIDEO_FRAME was queued
  std::uint32_t bytes = 0;          // size of the access unit
  bool keyframe = false;
};

// The last 256 frames' records, by frame id modulo 256: written by the
// capture thread, completed by the encoder's thread.
class TimingRing {
 public:
  static constexpr std::size_t kSize = 256;

  void Store(const FrameTiming& timing) {
    const std::lock_guard<std::mutex> lock(lock_);
    ring_[timing.frameId % kSize] = timing;
  }

  // A copy of |frameId|'s record, or an all-zero one when the slot holds
  // another frame.
  FrameTiming Find(std::uint64_t frameId) const {
    const std::lock_guard<std::mutex> lock(lock_);
    const FrameTiming& entry = ring_[frameId % kSize];
    return entry.frameId == frameId ? entry : FrameTiming{};
  }

 private:
  // Guards ring_; a leaf lock, held only to copy one record.
  mutable std::mutex lock_;
  std::array<FrameTiming, kSize> ring_{};
};

}  // namespace veyra

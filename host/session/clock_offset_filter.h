#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace veyra {

// The receiver's clock minus the host's, from PING/PONG exchanges, filtered
// as NTP filters its peers: of the last kSamples exchanges the one with the
// smallest round trip wins, because its offset is wrong by at most half of
// that round trip. A PONG held up on the way (a receive thread busy building
// a pipeline, a queue on the link) has a long round trip and loses to any
// prompt one instead of dragging an average for seconds.
//
// Not locked itself: its owner serialises every call.
class ClockOffsetFilter {
 public:
  static constexpr std::size_t kSamples = 16;

  // Forgets every exchange: a new connection may be another receiver, whose
  // clock starts somewhere else.
  void Reset();

  // One exchange: the PING left at |pingSentUs| and its PONG arrived at
  // |arrivedUs| (both host clock); the receiver stamped it |replyUs| on its
  // own clock. A PONG that seems to arrive before its PING left is ignored.
  void Add(std::uint64_t pingSentUs, std::uint64_t replyUs, std::uint64_t arrivedUs);

  // Whether any exchange has been seen; an offset of 0 is a real estimate
  // (the same clock on both sides) once this is true.
  bool HasEstimate() const { return count_ != 0; }

  // The best sample's offset; 0 without an estimate.
  std::int64_t OffsetUs() const;
  // The smallest round trip among the kept samples; 0 without an estimate.
  std::int64_t MinRttUs() const;
  // The round trip of the latest exchange; 0 without an estimate.
  std::int64_t LastRttUs() const { return lastRttUs_; }

 private:
  struct Sample {
    std::int64_t offsetUs = 0;
    std::int64_t rttUs = 0;
  };

  const Sample* Best() const;

  std::array<Sample, kSamples> samples_{};
  std::size_t next_ = 0;   // where the next sample goes
  std::size_t count_ = 0;  // samples kept, at most kSamples
  std::int64_t lastRttUs_ = 0;
};

}  // namespace veyra

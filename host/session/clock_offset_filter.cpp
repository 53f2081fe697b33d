#include "host/session/clock_offset_filter.h"

namespace veyra {

void ClockOffsetFilter::Reset() {
  samples_.fill(Sample{});
  next_ = 0;
  count_ = 0;
  lastRttUs_ = 0;
}

void ClockOffsetFilter::Add(std::uint64_t pingSentUs, std::uint64_t replyUs,
                            std::uint64_t arrivedUs) {
  if (arrivedUs < pingSentUs) {
    return;
  }
  const auto rttUs = static_cast<std::int64_t>(arrivedUs - pingSentUs);
  // The receiver stamped the reply at about the middle of the round trip.
  // Unsigned difference read as signed: the clocks may be any distance apart.
  const auto offsetUs =
      static_cast<std::int64_t>(replyUs - pingSentUs - static_cast<std::uint64_t>(rttUs / 2));
  samples_[next_] = Sample{offsetUs, rttUs};
  next_ = (next_ + 1) % kSamples;
  if (count_ < kSamples) {
    ++count_;
  }
  lastRttUs_ = rttUs;
}

const ClockOffsetFilter::Sample* ClockOffsetFilter::Best() const {
  const Sample* best = nullptr;
  for (std::size_t i = 0; i < count_; ++i) {
    if (best == nullptr || samples_[i].rttUs < best->rttUs) {
      best = &samples_[i];
    }
  }
  return best;
}

std::int64_t ClockOffsetFilter::OffsetUs() const {
  const Sample* best = Best();
  return best != nullptr ? best->offsetUs : 0;
}

std::int64_t ClockOffsetFilter::MinRttUs() const {
  const Sample* best = Best();
  return best != nullptr ? best->rttUs : 0;
}

}  // namespace veyra

#pragma once

#include <cstdint>

namespace veyra {

// Microseconds of the host's monotonic clock: the time base of every
// timestamp, deadline and latency in the host and in the frames it sends.
// Its zero is arbitrary; values are comparable across all threads.
std::uint64_t NowUs();

// Converts a tick count at |frequency| ticks per second into microseconds,
// splitting the count so that the multiplication cannot overflow.
constexpr std::uint64_t TicksToUs(std::uint64_t ticks, std::uint64_t frequency) {
  return (ticks / frequency) * 1000000 + ((ticks % frequency) * 1000000) / frequency;
}

}  // namespace veyra

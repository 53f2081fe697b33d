#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

#include "host/base/clock.h"

namespace veyra {

// The time a paced source reads and the sleep it takes, apart so that tests
// can step time instead of waiting for it.
class PacingClock {
 public:
  virtual ~PacingClock() = default;
  virtual std::uint64_t NowUs() = 0;
  virtual void SleepUs(std::uint64_t us) = 0;
};

// The host's clock and a real sleep.
class SystemPacingClock final : public PacingClock {
 public:
  std::uint64_t NowUs() override { return veyra::NowUs(); }
  void SleepUs(std::uint64_t us) override {
    std::this_thread::sleep_for(std::chrono::microseconds(us));
  }
};

}  // namespace veyra

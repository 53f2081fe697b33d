#include <time.h>

#include "host/base/clock.h"

namespace veyra {

std::uint64_t NowUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000000 +
         static_cast<std::uint64_t>(ts.tv_nsec) / 1000;
}

}  // namespace veyra

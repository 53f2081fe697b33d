#include <windows.h>

#include "host/base/clock.h"

namespace veyra {

std::uint64_t NowUs() {
  // The frequency is fixed at boot; read it once (thread-safe static).
  static const std::uint64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<std::uint64_t>(f.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return TicksToUs(static_cast<std::uint64_t>(counter.QuadPart), frequency);
}

}  // namespace veyra

#include "host/input/pointer_mapping.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "host/input/input_sink.h"

namespace veyra {
namespace {

// The full span of a normalised absolute coordinate.
constexpr double kAbsoluteSpan = 65535.0;

// Pixels of scroll distance per wheel notch.
constexpr double kPixelsPerNotch = 100.0;

// Width or height of a rectangle, at least 1; 64-bit so that a rectangle with
// extreme edges cannot overflow.
double Extent(std::int64_t low, std::int64_t high) {
  return static_cast<double>(std::max<std::int64_t>(1, high - low));
}

}  // namespace

void TurnMovement(std::uint8_t quarterTurns, float* dx, float* dy) {
  // The picture's axes onto the area's, as TurnFractions turns points.
  const float mx = *dx;
  const float my = *dy;
  switch (quarterTurns % 4) {
    case 1:
      *dx = -my;
      *dy = mx;
      break;
    case 2:
      *dx = -mx;
      *dy = -my;
      break;
    case 3:
      *dx = my;
      *dy = -mx;
      break;
    default:
      break;
  }
}

void TurnFractions(std::uint8_t quarterTurns, float* x, float* y) {
  if (quarterTurns % 4 == 0) {
    return;  // exactly as given: the way through the centre rounds
  }
  // A turn about the picture's centre.
  float dx = *x - 0.5F;
  float dy = *y - 0.5F;
  TurnMovement(quarterTurns, &dx, &dy);
  *x = 0.5F + dx;
  *y = 0.5F + dy;
}

double ClampFraction(float fraction) {
  if (std::isnan(fraction) || fraction < 0.0F) {
    return 0.0;
  }
  if (fraction > 1.0F) {
    return 1.0;
  }
  return fraction;
}

std::int32_t TruncateToInt32(double value) {
  if (std::isnan(value)) {
    return 0;
  }
  constexpr double kMax = std::numeric_limits<std::int32_t>::max();
  constexpr double kMin = std::numeric_limits<std::int32_t>::min();
  if (value >= kMax) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (value <= kMin) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(value);
}

PointerPosition MapPointer(float x, float y, const DesktopRect& target,
                           const VirtualDesktop& desktop) {
  const std::int32_t width = std::max(1, desktop.width);
  const std::int32_t height = std::max(1, desktop.height);
  PointerPosition p;
  p.desktopX = ClampFraction(x) * Extent(target.left, target.right) + target.left;
  p.desktopY = ClampFraction(y) * Extent(target.top, target.bottom) + target.top;
  // 0 is the first pixel and 65535 the last, hence the span over width - 1;
  // adding 0.5 before truncating rounds to the nearest unit.
  p.absoluteX =
      TruncateToInt32((p.desktopX - desktop.x) * kAbsoluteSpan / Extent(0, width - 1) + 0.5);
  p.absoluteY =
      TruncateToInt32((p.desktopY - desktop.y) * kAbsoluteSpan / Extent(0, height - 1) + 0.5);
  return p;
}

std::int32_t WheelUnits(float fraction, std::int64_t extentPx) {
  const double pixels = Extent(0, extentPx) * static_cast<double>(fraction);
  if (!(std::fabs(pixels) >= 1.0)) {
    return 0;
  }
  return TruncateToInt32(pixels * kWheelDelta / kPixelsPerNotch);
}

}  // namespace veyra

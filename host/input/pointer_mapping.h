#pragma once

#include <cstdint>

#include "host/input/display_layout.h"

namespace veyra {

// Where a position given as fractions of the target area lands.
struct PointerPosition {
  double desktopX = 0;  // virtual-desktop pixels
  double desktopY = 0;
  std::int32_t absoluteX = 0;  // 0..65535 across the virtual desktop
  std::int32_t absoluteY = 0;
};

// Clamps a fraction to 0..1. A value that is not a number counts as 0, so
// that a corrupt position cannot turn into an undefined conversion below.
double ClampFraction(float fraction);

// Maps fractions |x| and |y| of |target| (clamped to 0..1) to the desktop
// pixel and to the normalised absolute coordinates that SendInput expects
// with MOUSEEVENTF_VIRTUALDESK. A width or height below 1 counts as 1.
PointerPosition MapPointer(float x, float y, const DesktopRect& target,
                           const VirtualDesktop& desktop);

// Fractions of a picture that shows the target area turned back by
// |quarterTurns| quarter turns (a monitor streamed in its unturned
// orientation), as fractions of the area: turning the picture clockwise that
// many times gives the area. Fractions stay within 0..1 when they were.
void TurnFractions(std::uint8_t quarterTurns, float* x, float* y);

// A movement of |dx|, |dy| across such a picture, as fractions of the area:
// a swipe along the picture's long side scrolls along the area's.
void TurnMovement(std::uint8_t quarterTurns, float* dx, float* dy);

// Wheel units for a scroll of |fraction| of an area |extentPx| pixels long:
// 100 pixels make one notch (120 units), truncated toward zero. Distances
// below one pixel give 0, as does anything that is not a number; huge values
// saturate at the 32-bit range.
std::int32_t WheelUnits(float fraction, std::int64_t extentPx);

// Converts toward zero and saturates at the 32-bit range; NaN gives 0.
std::int32_t TruncateToInt32(double value);

}  // namespace veyra

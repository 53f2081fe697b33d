#include "host/input/pointer_mapping.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace veyra {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(PointerMappingTest, MapsFractionsToDesktopAndAbsoluteCoordinates) {
  struct Case {
    const char* name;
    float x, y;
    DesktopRect target;
    VirtualDesktop desktop;
    double desktopX, desktopY;
    std::int32_t absoluteX, absoluteY;
  };
  const Case cases[] = {
      // Right-hand monitor of two side by side: 2880 * 65535 / 3839 = 49164.05.
      {"right monitor centre",
       0.5F,
       0.5F,
       {1920, 0, 3840, 1080},
       {0, 0, 3840, 1080},
       2880,
       540,
       49164,
       32798},
      // A second monitor left of the target moves the desktop origin to -1920.
      {"left neighbour", 0.0F, 0.0F, {0, 0, 1920, 1080}, {-1920, 0, 3840, 1080}, 0, 0, 32776, 0},
      // Clamped to the far edges; the exclusive right/bottom edge maps just
      // beyond 65535 on a one-monitor desktop.
      {"clamped", 1.7F, -0.2F, {0, 0, 1920, 1080}, {0, 0, 1920, 1080}, 1920, 0, 65569, 0},
      {"not a number", kNaN, kInf, {0, 0, 1920, 1080}, {0, 0, 1920, 1080}, 0, 1080, 0, 65596},
      // Degenerate rectangles count as one pixel.
      {"empty target and desktop", 1.0F, 1.0F, {5, 5, 5, 5}, {0, 0, 0, -3}, 6, 6, 393210, 393210},
  };
  for (const Case& c : cases) {
    const PointerPosition p = MapPointer(c.x, c.y, c.target, c.desktop);
    EXPECT_DOUBLE_EQ(p.desktopX, c.desktopX) << c.name;
    EXPECT_DOUBLE_EQ(p.desktopY, c.desktopY) << c.name;
    EXPECT_EQ(p.absoluteX, c.absoluteX) << c.name;
    EXPECT_EQ(p.absoluteY, c.absoluteY) << c.name;
  }
}

TEST(PointerMappingTest, TurnsScrollDistanceIntoWheelUnits) {
  struct Case {
    float fraction;
    std::int64_t extentPx;
    std::int32_t units;
  };
  const Case cases[] = {
      {0.1F, 1080, 129},    // 108 px, 1.2 units per pixel, truncated
      {0.0005F, 1080, 0},   // 0.54 px: below one pixel
      {-0.1F, 1920, -230},  // 192 px the other way
      {0.001F, 1080, 1},    // 1.08 px is just enough for one unit
      {-0.05F, 1080, -64},  // truncated toward zero
      {0.5F, 0, 0},         // an empty area counts as one pixel
      {2.0F, -5, 2},        // ... so does an inverted one
      {kNaN, 1080, 0},
      {kInf, 1080, std::numeric_limits<std::int32_t>::max()},
      {-1e30F, 1080, std::numeric_limits<std::int32_t>::min()},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WheelUnits(c.fraction, c.extentPx), c.units) << c.fraction << " of " << c.extentPx;
  }
}

}  // namespace
}  // namespace veyra

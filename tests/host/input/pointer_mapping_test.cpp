#include "host/input/pointer_mapping.h"

#include <gtest/gtest.h>

#include <limits>

namespace veyra {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(PointerMappingTest, MapsCorruptFractionsAndDegenerateRectanglesSafely) {
  struct Case {
    const char* name;
    float x, y;
    DesktopRect target;
    VirtualDesktop desktop;
    double desktopX, desktopY;
    std::int32_t absoluteX, absoluteY;
  };
  // The common cases are checked through InputInjector::SendMouse; these are
  // the inputs a faulty receiver or a transient desktop could produce.
  const Case cases[] = {
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

TEST(PointerMappingTest, FractionsOfAnUnturnedPictureLandOnTheTurnedArea) {
  // The picture's top-left corner, then a point a quarter across its top.
  struct Case {
    std::uint8_t turns;
    float x0, y0, x1, y1;
  };
  for (const Case& test : {Case{0, 0.0F, 0.0F, 0.25F, 0.0F}, Case{1, 1.0F, 0.0F, 1.0F, 0.25F},
                           Case{2, 1.0F, 1.0F, 0.75F, 1.0F}, Case{3, 0.0F, 1.0F, 0.0F, 0.75F},
                           Case{4, 0.0F, 0.0F, 0.25F, 0.0F}}) {
    float x = 0.0F;
    float y = 0.0F;
    TurnFractions(test.turns, &x, &y);
    EXPECT_EQ(x, test.x0) << static_cast<int>(test.turns);
    EXPECT_EQ(y, test.y0) << static_cast<int>(test.turns);
    x = 0.25F;
    y = 0.0F;
    TurnFractions(test.turns, &x, &y);
    EXPECT_EQ(x, test.x1) << static_cast<int>(test.turns);
    EXPECT_EQ(y, test.y1) << static_cast<int>(test.turns);
    // A swipe a quarter along the picture's top edge moves as that edge did.
    float dx = 0.25F;
    float dy = 0.0F;
    TurnMovement(test.turns, &dx, &dy);
    EXPECT_EQ(dx, test.x1 - test.x0) << static_cast<int>(test.turns);
    EXPECT_EQ(dy, test.y1 - test.y0) << static_cast<int>(test.turns);
  }
}

TEST(PointerMappingTest, WheelUnitsTruncateAndSaturate) {
  struct Case {
    float fraction;
    std::int64_t extentPx;
    std::int32_t units;
  };
  const Case cases[] = {
      {0.001F, 1080, 1},    // 1.08 px is just enough for one unit
      {-0.05F, 1080, -64},  // truncated toward zero
      {0.5F, 0, 0},         // an empty area counts as one pixel
      {2.0F, -5, 2},        // ... so does an inverted one
      {kInf, 1080, std::numeric_limits<std::int32_t>::max()},
      {-1e30F, 1080, std::numeric_limits<std::int32_t>::min()},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WheelUnits(c.fraction, c.extentPx), c.units) << c.fraction << " of " << c.extentPx;
  }
}

}  // namespace
}  // namespace veyra

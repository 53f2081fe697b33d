#include "tray/grey_icon.h"

#include <gtest/gtest.h>

#include <array>

namespace veyra {
namespace {

TEST(GreyIconTest, HalfLuminanceGreyAtHalfOpacity) {
  // B, G, R, A per pixel.
  std::array<std::uint8_t, 16> pixels = {
      255, 255, 255, 255,  // white: (255*256 >> 8) >> 1 = 127
      0,   0,   255, 255,  // red: (255*77 >> 8) >> 1 = 38
      0,   255, 0,   128,  // green: (255*151 >> 8) >> 1 = 75
      255, 0,   0,   1,    // blue: (255*28 >> 8) >> 1 = 13; alpha 1 -> 0
  };
  GreyPixels(pixels);
  const std::array<std::uint8_t, 16> expected = {127, 127, 127, 127, 38, 38, 38, 127,
                                                 75,  75,  75,  64,  13, 13, 13, 0};
  EXPECT_EQ(pixels, expected);
}

TEST(GreyIconTest, AnIncompletePixelAtTheEndIsLeftAlone) {
  std::array<std::uint8_t, 6> pixels = {10, 20, 30, 40, 50, 60};
  GreyPixels(pixels);
  EXPECT_EQ(pixels[4], 50);
  EXPECT_EQ(pixels[5], 60);
  EXPECT_EQ(pixels[3], 20);
}

}  // namespace
}  // namespace veyra

#include "host/input/hid_keymap.h"

#include <gtest/gtest.h>

#include <set>

namespace veyra {
namespace {

TEST(HidKeymapTest, MapsEveryRangeOfTheKeyboardPage) {
  struct Case {
    std::uint32_t usage;
    std::uint16_t virtualKey;
  };
  const Case cases[] = {
      {4, 65},
      {29, 90},
      {30, 49},
      {38, 57},
      {39, 48},
      {40, 13},
      {41, 27},
      {42, 8},
      {43, 9},
      {44, 32},
      {45, 189},
      {46, 187},
      {47, 219},
      {48, 221},
      {49, 220},
      {51, 186},
      {52, 222},
      {53, 192},
      {54, 188},
      {55, 190},
      {56, 191},
      {57, 20},
      {58, 112},
      {69, 123},
      {70, 44},
      {71, 145},
      {72, 19},
      {73, 45},
      {74, 36},
      {75, 33},
      {76, 46},
      {77, 35},
      {78, 34},
      {79, 39},
      {80, 37},
      {81, 40},
      {82, 38},
      {224, 162},
      {225, 160},
      {226, 164},
      {227, 91},
      {228, 163},
      {229, 161},
      {230, 165},
      {231, 92},
      // Unmapped: reserved codes, the non-US hash key, the keypad and beyond.
      {0, 0},
      {3, 0},
      {50, 0},
      {83, 0},
      {0x62, 0},
      {223, 0},
      {232, 0},
      {0x10004, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(VirtualKeyForHidUsage(c.usage), c.virtualKey) << "usage " << c.usage;
  }
}

TEST(HidKeymapTest, MarksExactlyTheExtendedKeys) {
  const std::set<int> extended = {33, 34, 35, 36, 37, 38,  39,  40,  44,
                                  45, 46, 91, 92, 93, 111, 144, 163, 165};
  for (int vk = 0; vk <= 0xFFFF; ++vk) {
    EXPECT_EQ(IsExtendedVirtualKey(static_cast<std::uint16_t>(vk)), extended.count(vk) == 1)
        << "virtual key " << vk;
  }
}

}  // namespace
}  // namespace veyra

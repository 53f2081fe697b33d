#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <utility>
#include <vector>

#include "host/capture/pointer_blend.h"

namespace veyra {
namespace {

// A 4 x 3 picture, one pixel of padding per row that must stay untouched.
constexpr std::uint32_t kWidth = 4;
constexpr std::uint32_t kHeight = 3;
constexpr std::uint32_t kPitch = (kWidth + 1) * 4;
constexpr std::size_t kPitchWords = kPitch / 4;
constexpr std::uint32_t kBackground = 0x80302010;  // A R G B
constexpr std::uint32_t kPadding = 0xEEEEEEEE;

using Pixels = std::map<std::pair<int, int>, std::uint32_t>;  // (x, y) -> ARGB

std::vector<std::uint8_t> Bytes(const std::vector<std::uint32_t>& words) {
  std::vector<std::uint8_t> bytes(words.size() * 4);
  std::memcpy(bytes.data(), words.data(), bytes.size());
  return bytes;
}

PointerShape ColourShape(PointerShapeKind kind, const std::vector<std::uint32_t>& pixels2x2) {
  return {kind, 2, 2, 8, 0, 0, Bytes(pixels2x2)};
}

// A 2 x 2 monochrome shape, one row of 4 bytes per mask row:
//   (0,0) AND 1 XOR 0 keeps      (1,0) AND 0 XOR 0 blackens
//   (0,1) AND 0 XOR 1 whitens    (1,1) AND 1 XOR 1 inverts
PointerShape MonochromeShape() {
  PointerShape shape{PointerShapeKind::kMonochrome, 2, 4, 4, 0, 0, {}};
  shape.pixels = {0x80, 0, 0, 0, 0x40, 0, 0, 0,   // AND mask
                  0x00, 0, 0, 0, 0xC0, 0, 0, 0};  // XOR mask
  return shape;
}

// Opaque, a different colour in each pixel, to see which part lands where.
const PointerShape kMarked =
    ColourShape(PointerShapeKind::kColor, {0xFF000001, 0xFF000002, 0xFF000003, 0xFF000004});

struct BlendCase {
  const char* name;
  PointerShape shape;
  PointerState state;
  Pixels changed;  // every other pixel keeps the background
};

// The last row missing; rows before it may end short of the pitch.
PointerShape Truncated(PointerShape shape) {
  shape.pixels.resize(shape.pixels.size() - shape.pitch);
  return shape;
}

TEST(PointerBlendTest, EachShapeKindClippedAtEveryEdgeAndNothingWhenHiddenOrMalformed) {
  const std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
  const std::vector<BlendCase> cases = {
      {"monochrome",
       MonochromeShape(),
       {true, 1, 1},
       {{{2, 1}, 0x80000000}, {{1, 2}, 0x80FFFFFF}, {{2, 2}, 0x80CFDFEF}}},
      {"colour by alpha: none, full, half",
       ColourShape(PointerShapeKind::kColor, {0x00FFFFFF, 0xFF0000FF, 0x80FFFFFF, 0x00000000}),
       {true, 0, 0},
       {{{1, 0}, 0x800000FF}, {{0, 1}, 0x80989088}}},
      {"masked colour: 0 replaces, 0xFF exclusive-ors",
       ColourShape(PointerShapeKind::kMaskedColor,
                   {0x00123456, 0xFF0F0F0F, 0xFF000000, 0x00ABCDEF}),
       {true, 2, 1},
       {{{2, 1}, 0x80123456}, {{3, 1}, 0x803F2F1F}, {{3, 2}, 0x80ABCDEF}}},
      {"left edge", kMarked, {true, -1, 0}, {{{0, 0}, 0x80000002}, {{0, 1}, 0x80000004}}},
      {"top edge", kMarked, {true, 1, -1}, {{{1, 0}, 0x80000003}, {{2, 0}, 0x80000004}}},
      {"right edge", kMarked, {true, 3, 1}, {{{3, 1}, 0x80000001}, {{3, 2}, 0x80000003}}},
      {"bottom edge", kMarked, {true, 0, 2}, {{{0, 2}, 0x80000001}, {{1, 2}, 0x80000002}}},
      {"wholly off the right", kMarked, {true, 4, 0}, {}},
      {"wholly off the top-left", kMarked, {true, -2, -2}, {}},
      {"far off, no overflow", kMarked, {true, kMin, kMin}, {}},
      {"hidden", kMarked, {false, 0, 0}, {}},
      {"colour rows short", Truncated(kMarked), {true, 0, 0}, {}},
      {"monochrome masks short", Truncated(MonochromeShape()), {true, 0, 0}, {}},
  };
  for (const BlendCase& test : cases) {
    SCOPED_TRACE(test.name);
    std::vector<std::uint32_t> picture(kPitchWords * kHeight, kBackground);
    for (std::uint32_t y = 0; y < kHeight; ++y) picture[y * kPitchWords + kWidth] = kPadding;

    BlendPointer(test.shape, test.state, reinterpret_cast<std::uint8_t*>(picture.data()), kWidth,
                 kHeight, kPitch);

    for (std::uint32_t y = 0; y < kHeight; ++y) {
      EXPECT_EQ(picture[y * kPitchWords + kWidth], kPadding) << "padding of row " << y;
      for (std::uint32_t x = 0; x < kWidth; ++x) {
        const auto found = test.changed.find({static_cast<int>(x), static_cast<int>(y)});
        const std::uint32_t expected = found == test.changed.end() ? kBackground : found->second;
        EXPECT_EQ(picture[y * kPitchWords + x], expected) << "at " << x << "," << y;
      }
    }
  }
}

}  // namespace
}  // namespace veyra

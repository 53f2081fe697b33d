#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <utility>
#include <vector>

#include "host/capture/output_rotation.h"
#include "host/capture/pointer_blend.h"
#include "host/capture/pointer_rotation.h"

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
  shape.pixels.erase(shape.pixels.end() - static_cast<std::ptrdiff_t>(shape.pitch),
                     shape.pixels.end());
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

// A desktop turned by 90, 180 or 270 degrees is duplicated unturned: the
// pointer, reported in the desktop's orientation, drawn turned into that
// image must give, pixel for pixel, the image of the desktop with the
// pointer drawn upright, for every kind and cut at every edge.
TEST(PointerRotationTest, ATurnedPointerInTheImageIsTheUprightPointerOnTheDesktop) {
  PointerShape mono{PointerShapeKind::kMonochrome, 3, 4, 1, 1, 0, {}};  // 3 x 2
  mono.pixels = {0xA0, 0x60,                                            // AND mask rows: 101, 011
                 0xC0, 0x40};                                           // XOR mask rows: 110, 010
  const PointerShape colour = {PointerShapeKind::kColor,
                               3,
                               2,
                               12,
                               0,
                               1,
                               Bytes({0xFF000011, 0x80000022, 0x00000033,  //
                                      0xFF000044, 0xFF000055, 0x40000066})};
  const PointerShape masked = {PointerShapeKind::kMaskedColor,
                               3,
                               2,
                               12,
                               2,
                               1,
                               Bytes({0x00000011, 0xFF0F0F0F, 0x00000033,  //
                                      0xFF00FF00, 0x00000055, 0x00000066})};
  const ImageSize desktop{5, 4};
  for (const OutputRotation rotation :
       {OutputRotation::kRotate90, OutputRotation::kRotate180, OutputRotation::kRotate270}) {
    const ImageSize surface = DeliveredImageSize(desktop, rotation);
    for (const PointerShape* shape : {&std::as_const(mono), &colour, &masked}) {
      const PointerShape turned = TurnPointerShape(*shape, rotation);
      for (const PointerState state : {PointerState{true, 1, 1}, PointerState{true, -1, -1},
                                       PointerState{true, 3, 3}, PointerState{true, 4, 0}}) {
        SCOPED_TRACE(::testing::Message()
                     << "rotation " << static_cast<int>(rotation) << " kind "
                     << static_cast<int>(shape->kind) << " at " << state.x << "," << state.y);
        std::vector<std::uint32_t> upright(20);
        for (std::size_t i = 0; i < upright.size(); ++i) {
          upright[i] = 0x80000000u | static_cast<std::uint32_t>(i * 0x0A0B0C);
        }
        std::vector<std::uint32_t> image(20);
        for (std::uint32_t y = 0; y < surface.height; ++y) {
          for (std::uint32_t x = 0; x < surface.width; ++x) {
            const PixelPoint d = SurfaceToDesktop({x, y}, surface, rotation);
            image[y * surface.width + x] = upright[static_cast<std::size_t>(d.y * 5 + d.x)];
          }
        }
        BlendPointer(*shape, state, reinterpret_cast<std::uint8_t*>(upright.data()), 5, 4, 20);
        BlendPointer(turned, TurnPointerState(*shape, state, surface, rotation),
                     reinterpret_cast<std::uint8_t*>(image.data()), surface.width, surface.height,
                     surface.width * 4);
        for (std::uint32_t y = 0; y < surface.height; ++y) {
          for (std::uint32_t x = 0; x < surface.width; ++x) {
            const PixelPoint d = SurfaceToDesktop({x, y}, surface, rotation);
            EXPECT_EQ(image[y * surface.width + x],
                      upright[static_cast<std::size_t>(d.y * 5 + d.x)])
                << "image pixel " << x << "," << y;
          }
        }
      }
    }
  }
}

// A pointer hidden before and after an update (it is on another monitor)
// changes nothing; appearing, vanishing, or moving or changing shape while
// shown does.
TEST(PointerUpdateTest, OnlyWhatShowsChangesThePicture) {
  const PointerState hidden{false, 5, 5};
  const PointerState shown{true, 5, 5};
  EXPECT_FALSE(PointerChangesPicture(hidden, PointerState{false, 9, 1}, false));
  EXPECT_FALSE(PointerChangesPicture(hidden, PointerState{false, 9, 1}, true));
  EXPECT_FALSE(PointerChangesPicture(shown, shown, false));
  EXPECT_TRUE(PointerChangesPicture(hidden, shown, false));
  EXPECT_TRUE(PointerChangesPicture(shown, hidden, false));
  EXPECT_TRUE(PointerChangesPicture(shown, PointerState{true, 5, 6}, false));
  EXPECT_TRUE(PointerChangesPicture(shown, shown, true));
}

}  // namespace
}  // namespace veyra

#pragma once

#include <cstdint>
#include <vector>

namespace veyra {

// The kinds of pointer shape, numbered as DXGI_OUTDUPL_POINTER_SHAPE_TYPE
// numbers them.
enum class PointerShapeKind : std::uint8_t {
  // 1 bit per pixel, most significant bit leftmost: |height| / 2 rows of AND
  // mask followed by as many rows of XOR mask. AND 1 keeps the picture's
  // pixel, AND 0 clears it; XOR 1 then inverts it.
  kMonochrome = 1,
  // 32-bit BGRA drawn over the picture by its alpha.
  kColor = 2,
  // 32-bit BGRA whose alpha byte is a flag: 0 replaces the picture's pixel
  // with the shape's colour, 0xFF exclusive-ors the colour into it.
  kMaskedColor = 4,
};

// A pointer shape as desktop duplication delivers it: the pixel bytes
// exactly as received, rows |pitch| bytes apart.
struct PointerShape {
  PointerShapeKind kind = PointerShapeKind::kColor;
  std::uint32_t width = 0;
  // For a monochrome shape the two masks together: twice the drawn height.
  std::uint32_t height = 0;
  std::uint32_t pitch = 0;
  // The point of the shape that the pointer's position names, from its
  // top-left corner.
  std::uint32_t hotSpotX = 0;
  std::uint32_t hotSpotY = 0;
  std::vector<std::uint8_t> pixels;
};

// Where the pointer is: the top-left corner of its shape in the picture's
// pixels, which may lie off the picture on any side.
struct PointerState {
  bool visible = false;
  std::int32_t x = 0;
  std::int32_t y = 0;
};

// Whether a pointer update changes the picture: the pointer appears or
// disappears, or, while shown, moves or takes a new shape. Updates of a
// pointer hidden before and after (it is on another monitor) draw nothing.
constexpr bool PointerChangesPicture(const PointerState& before, const PointerState& after,
                                     bool newShape) {
  if (before.visible != after.visible) return true;
  return after.visible && (newShape || before.x != after.x || before.y != after.y);
}

// The height a shape covers on the picture: a monochrome shape's two masks
// share one set of rows.
constexpr std::uint32_t PointerDrawnHeight(const PointerShape& shape) {
  return shape.kind == PointerShapeKind::kMonochrome ? shape.height / 2 : shape.height;
}

}  // namespace veyra

#pragma once

#include <cstdint>

#include "host/capture/pointer_shape.h"

namespace veyra {

// A rectangle of picture pixels: columns [left, right), rows [top, bottom).
struct PixelRect {
  std::uint32_t left = 0;
  std::uint32_t top = 0;
  std::uint32_t right = 0;
  std::uint32_t bottom = 0;

  bool empty() const { return left >= right || top >= bottom; }
  std::uint32_t width() const { return right - left; }
  std::uint32_t height() const { return bottom - top; }
};

// The part of a |width| x |height| picture that BlendPointer would change:
// empty when the pointer is hidden or lies wholly off the picture.
PixelRect PointerRect(const PointerShape& shape, const PointerState& state, std::uint32_t width,
                      std::uint32_t height);

// Whether the shape's bytes hold every row its kind, size and pitch
// promise; a shape that does not is never drawn.
bool PointerShapeIsWhole(const PointerShape& shape);

// Draws |shape| at |state| into a BGRA picture of |width| x |height| pixels,
// rows |pitch| bytes apart, cut at every edge of the picture. Nothing is
// drawn when the pointer is hidden, or when the shape's bytes are fewer than
// its size and pitch promise (a malformed shape is skipped, never read past
// its end). The picture's alpha bytes are kept.
void BlendPointer(const PointerShape& shape, const PointerState& state, std::uint8_t* picture,
                  std::uint32_t width, std::uint32_t height, std::uint32_t pitch);

}  // namespace veyra

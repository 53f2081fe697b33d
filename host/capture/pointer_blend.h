#pragma once

#include <cstdint>

#include "host/capture/pointer_shape.h"

namespace veyra {

// Draws |shape| at |state| into a BGRA picture of |width| x |height| pixels,
// rows |pitch| bytes apart, cut at every edge of the picture. Nothing is
// drawn when the pointer is hidden, or when the shape's bytes are fewer than
// its size and pitch promise (a malformed shape is skipped, never read past
// its end). The picture's alpha bytes are kept.
void BlendPointer(const PointerShape& shape, const PointerState& state, std::uint8_t* picture,
                  std::uint32_t width, std::uint32_t height, std::uint32_t pitch);

}  // namespace veyra

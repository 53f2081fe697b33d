#include "host/capture/pointer_rotation.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "host/capture/pointer_blend.h"

namespace veyra {

namespace {

std::int32_t Saturate(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

bool Bit(const std::uint8_t* row, std::uint32_t column) {
  return (row[column / 8] & (0x80u >> (column % 8))) != 0;
}

void SetBit(std::uint8_t* row, std::uint32_t column) {
  row[column / 8] = static_cast<std::uint8_t>(row[column / 8] | (0x80u >> (column % 8)));
}

}  // namespace

PointerShape TurnPointerShape(const PointerShape& shape, OutputRotation rotation) {
  if (rotation != OutputRotation::kRotate90 && rotation != OutputRotation::kRotate180 &&
      rotation != OutputRotation::kRotate270) {
    return shape;
  }
  PointerShape out;
  out.kind = shape.kind;
  if (!PointerShapeIsWhole(shape)) return out;
  const std::uint32_t width = shape.width;
  const std::uint32_t height = PointerDrawnHeight(shape);
  const ImageSize turned = DeliveredImageSize({width, height}, rotation);
  const bool monochrome = shape.kind == PointerShapeKind::kMonochrome;

  out.width = turned.width;
  out.height = monochrome ? turned.height * 2 : turned.height;
  out.pitch = monochrome ? (turned.width + 7) / 8 : turned.width * 4;
  const PixelPoint hotSpot = DesktopToSurface({shape.hotSpotX, shape.hotSpotY}, turned, rotation);
  out.hotSpotX = static_cast<std::uint32_t>(std::clamp<std::int64_t>(hotSpot.x, 0, turned.width));
  out.hotSpotY = static_cast<std::uint32_t>(std::clamp<std::int64_t>(hotSpot.y, 0, turned.height));
  out.pixels.assign(std::size_t{out.pitch} * out.height, 0);

  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const PixelPoint to = DesktopToSurface({x, y}, turned, rotation);
      const auto column = static_cast<std::uint32_t>(to.x);
      const auto row = static_cast<std::size_t>(to.y);
      if (monochrome) {
        // The AND mask's rows, then the XOR mask's.
        for (std::size_t mask = 0; mask < 2; ++mask) {
          const std::uint8_t* from = shape.pixels.data() + (mask * height + y) * shape.pitch;
          if (Bit(from, x))
            SetBit(out.pixels.data() + (mask * turned.height + row) * out.pitch, column);
        }
      } else {
        std::memcpy(out.pixels.data() + row * out.pitch + std::size_t{column} * 4,
                    shape.pixels.data() + std::size_t{y} * shape.pitch + std::size_t{x} * 4, 4);
      }
    }
  }
  return out;
}

PointerState TurnPointerState(const PointerShape& shape, const PointerState& state,
                              ImageSize surface, OutputRotation rotation) {
  const std::int64_t right = std::int64_t{state.x} + std::max<std::int64_t>(shape.width, 1) - 1;
  const std::int64_t bottom =
      std::int64_t{state.y} + std::max<std::int64_t>(PointerDrawnHeight(shape), 1) - 1;
  const PixelPoint a = DesktopToSurface({state.x, state.y}, surface, rotation);
  const PixelPoint b = DesktopToSurface({right, bottom}, surface, rotation);
  return {state.visible, Saturate(std::min(a.x, b.x)), Saturate(std::min(a.y, b.y))};
}

}  // namespace veyra

// Draws a pointer shape into a BGRA picture on the CPU, with the meanings
// DXGI_OUTDUPL_POINTER_SHAPE_TYPE gives each kind of shape. Desktop
// duplication never draws the pointer into the desktop image, and the
// native desktop capture leaves it out too, so both blend it here.

#include "host/capture/pointer_blend.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace veyra {

namespace {

constexpr std::uint32_t kBytesPerPixel = 4;

// Bytes one row of the shape needs.
std::uint64_t ShapeRowBytes(const PointerShape& shape) {
  if (shape.kind == PointerShapeKind::kMonochrome) return (std::uint64_t{shape.width} + 7) / 8;
  return std::uint64_t{shape.width} * kBytesPerPixel;
}

}  // namespace

bool PointerShapeIsWhole(const PointerShape& shape) {
  if (shape.width == 0 || PointerDrawnHeight(shape) == 0) return false;
  if (shape.kind != PointerShapeKind::kMonochrome && shape.kind != PointerShapeKind::kColor &&
      shape.kind != PointerShapeKind::kMaskedColor) {
    return false;
  }
  const std::uint64_t rowBytes = ShapeRowBytes(shape);
  if (shape.pitch < rowBytes) return false;
  const std::uint64_t rows = shape.kind == PointerShapeKind::kMonochrome
                                 ? std::uint64_t{PointerDrawnHeight(shape)} * 2
                                 : std::uint64_t{shape.height};
  return shape.pixels.size() >= (rows - 1) * shape.pitch + rowBytes;
}

namespace {

bool MaskBit(const std::uint8_t* row, std::uint32_t column) {
  return (row[column / 8] & (0x80u >> (column % 8))) != 0;
}

// One picture pixel |out| under shape column |column| of shape row |row|.
void BlendPixel(const PointerShape& shape, std::uint32_t column, std::uint32_t row,
                std::uint8_t* out) {
  const std::uint8_t* pixels = shape.pixels.data();
  switch (shape.kind) {
    case PointerShapeKind::kMonochrome: {
      const std::uint32_t drawnHeight = PointerDrawnHeight(shape);
      const bool andBit = MaskBit(pixels + std::size_t{row} * shape.pitch, column);
      const bool xorBit = MaskBit(pixels + (std::size_t{row} + drawnHeight) * shape.pitch, column);
      for (int channel = 0; channel < 3; ++channel) {
        const std::uint8_t kept = andBit ? out[channel] : 0;
        out[channel] = static_cast<std::uint8_t>(xorBit ? kept ^ 0xFF : kept);
      }
      return;
    }
    case PointerShapeKind::kColor: {
      const std::uint8_t* in =
          pixels + std::size_t{row} * shape.pitch + std::size_t{column} * kBytesPerPixel;
      const std::uint32_t alpha = in[3];
      for (int channel = 0; channel < 3; ++channel) {
        out[channel] = static_cast<std::uint8_t>(
            (in[channel] * alpha + out[channel] * (255 - alpha) + 127) / 255);
      }
      return;
    }
    case PointerShapeKind::kMaskedColor: {
      const std::uint8_t* in =
          pixels + std::size_t{row} * shape.pitch + std::size_t{column} * kBytesPerPixel;
      // Only 0 and 0xFF are defined; any other mask is taken as 0xFF.
      const bool exclusiveOr = in[3] != 0;
      for (int channel = 0; channel < 3; ++channel) {
        out[channel] =
            exclusiveOr ? static_cast<std::uint8_t>(out[channel] ^ in[channel]) : in[channel];
      }
      return;
    }
  }
}

}  // namespace

PixelRect PointerRect(const PointerShape& shape, const PointerState& state, std::uint32_t width,
                      std::uint32_t height) {
  if (!state.visible) return {};
  const std::int64_t left = std::max<std::int64_t>(state.x, 0);
  const std::int64_t top = std::max<std::int64_t>(state.y, 0);
  const std::int64_t right = std::min<std::int64_t>(std::int64_t{state.x} + shape.width, width);
  const std::int64_t bottom =
      std::min<std::int64_t>(std::int64_t{state.y} + PointerDrawnHeight(shape), height);
  if (left >= right || top >= bottom) return {};
  return {static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(top),
          static_cast<std::uint32_t>(right), static_cast<std::uint32_t>(bottom)};
}

void BlendPointer(const PointerShape& shape, const PointerState& state, std::uint8_t* picture,
                  std::uint32_t width, std::uint32_t height, std::uint32_t pitch) {
  if (picture == nullptr) return;
  if (std::uint64_t{pitch} < std::uint64_t{width} * kBytesPerPixel) return;
  if (!PointerShapeIsWhole(shape)) return;
  const PixelRect rect = PointerRect(shape, state, width, height);
  for (std::uint32_t y = rect.top; y < rect.bottom; ++y) {
    std::uint8_t* line = picture + std::size_t{y} * pitch;
    for (std::uint32_t x = rect.left; x < rect.right; ++x) {
      BlendPixel(shape, static_cast<std::uint32_t>(std::int64_t{x} - state.x),
                 static_cast<std::uint32_t>(std::int64_t{y} - state.y),
                 line + std::size_t{x} * kBytesPerPixel);
    }
  }
}

}  // namespace veyra

#pragma once

#include <cstdint>

namespace veyra {

// How an output's desktop is turned against the monitor's scan-out,
// numbered as DXGI_MODE_ROTATION numbers it.
enum class OutputRotation : std::uint8_t {
  kUnspecified = 0,
  kIdentity = 1,
  kRotate90 = 2,
  kRotate180 = 3,
  kRotate270 = 4,
};

struct ImageSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// The size of the image desktop duplication delivers for a desktop area of
// |desktop|: duplication hands out the mode's unrotated picture, so a
// desktop turned by 90 or 270 degrees comes with width and height swapped.
// Recording the desktop size instead would make every frame of a portrait
// monitor fail the capture loop's size check.
constexpr ImageSize DeliveredImageSize(ImageSize desktop, OutputRotation rotation) {
  if (rotation == OutputRotation::kRotate90 || rotation == OutputRotation::kRotate270) {
    return {desktop.height, desktop.width};
  }
  return desktop;
}

// Clockwise quarter turns in |rotation|.
constexpr std::uint8_t QuarterTurns(OutputRotation rotation) {
  switch (rotation) {
    case OutputRotation::kRotate90:
      return 1;
    case OutputRotation::kRotate180:
      return 2;
    case OutputRotation::kRotate270:
      return 3;
    default:
      return 0;
  }
}

// The quarter turns a picture still needs to stand upright when the
// monitor is turned by |monitor| and |applied| of it was turned already.
constexpr std::uint8_t PictureTurns(OutputRotation monitor, OutputRotation applied) {
  return static_cast<std::uint8_t>((QuarterTurns(monitor) + 4 - QuarterTurns(applied)) % 4);
}

// A pixel position; wide enough that no mapping below overflows.
struct PixelPoint {
  std::int64_t x = 0;
  std::int64_t y = 0;
};

constexpr bool IsQuarterTurn(OutputRotation rotation) {
  return rotation == OutputRotation::kRotate90 || rotation == OutputRotation::kRotate270;
}

// Where desktop pixel |desktop| lies in the image duplication delivers,
// |surface| big, for a desktop turned by |rotation|. Duplication's image is
// the desktop turned back: for a 90-degree desktop, the desktop's top-left
// corner is the image's bottom-left (the mapping Microsoft's
// DXGIDesktopDuplication sample uses for its dirty rectangles). Turning the
// image clockwise by |rotation| gives the desktop again.
constexpr PixelPoint DesktopToSurface(PixelPoint desktop, ImageSize surface,
                                      OutputRotation rotation) {
  const std::int64_t w = surface.width;
  const std::int64_t h = surface.height;
  switch (rotation) {
    case OutputRotation::kRotate90:
      return {desktop.y, h - 1 - desktop.x};
    case OutputRotation::kRotate180:
      return {w - 1 - desktop.x, h - 1 - desktop.y};
    case OutputRotation::kRotate270:
      return {w - 1 - desktop.y, desktop.x};
    default:
      return desktop;
  }
}

// The inverse: the desktop pixel shown at surface pixel |point|.
constexpr PixelPoint SurfaceToDesktop(PixelPoint point, ImageSize surface,
                                      OutputRotation rotation) {
  const std::int64_t w = surface.width;
  const std::int64_t h = surface.height;
  switch (rotation) {
    case OutputRotation::kRotate90:
      return {h - 1 - point.y, point.x};
    case OutputRotation::kRotate180:
      return {w - 1 - point.x, h - 1 - point.y};
    case OutputRotation::kRotate270:
      return {point.y, w - 1 - point.x};
    default:
      return point;
  }
}

}  // namespace veyra

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

}  // namespace veyra

#pragma once

#include <cstdint>
#include <vector>

#include "host/capture/texture.h"

namespace veyra {

// A texture of the native back end: the picture in memory, rows |pitch|
// bytes apart. BGRA holds height rows of 4 bytes per pixel; NV12 holds the
// luma plane (height rows) followed by the Cb/Cr plane (height / 2 rows),
// both |pitch| bytes wide.
struct TextureStorage {
  std::uint32_t pitch = 0;
  std::vector<std::uint8_t> bytes;

  std::uint8_t* Plane(std::uint32_t height, int index) {
    return bytes.data() + (index == 0 ? 0 : static_cast<std::size_t>(pitch) * height);
  }
};

// The storage of a native texture; the texture must come from the native
// back end (and not be empty).
inline TextureStorage& StorageOf(const Texture& texture) { return *texture.storage; }

}  // namespace veyra

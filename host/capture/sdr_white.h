#pragma once

#include <cstdint>

namespace veyra {

// What an HDR desktop's linear scRGB values are multiplied by so that the
// monitor's SDR white becomes 1.0. scRGB 1.0 is 80 nits, and Windows gives
// SDR white as a multiple of 80 nits times 1000 ("DISPLAYCONFIG_SDR_WHITE_
// LEVEL"), so the scale is 1000 / level: 2500 (200 nits) gives 0.4. An
// unknown level (0) keeps the values as they are.
constexpr float SdrWhiteScale(std::uint32_t sdrWhiteLevel) {
  return sdrWhiteLevel == 0 ? 1.0f : 1000.0f / static_cast<float>(sdrWhiteLevel);
}

}  // namespace veyra

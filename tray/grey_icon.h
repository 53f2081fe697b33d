#pragma once

#include <cstdint>
#include <span>

namespace veyra {

// Turns 32-bit B, G, R, A pixels into the icon's "not showing" look: a grey
// of half the pixel's luminance, half as opaque. The luminance weights are
// 8-bit fixed point (77, 151, 28 for R, G, B; they sum to 256).
void GreyPixels(std::span<std::uint8_t> bgra);

}  // namespace veyra

#include "tray/grey_icon.h"

namespace veyra {

void GreyPixels(std::span<std::uint8_t> bgra) {
  for (std::size_t i = 0; i + 3 < bgra.size(); i += 4) {
    const unsigned b = bgra[i];
    const unsigned g = bgra[i + 1];
    const unsigned r = bgra[i + 2];
    const unsigned a = bgra[i + 3];
    const auto v = static_cast<std::uint8_t>(((g * 151 + r * 77 + b * 28) >> 8) >> 1);
    bgra[i] = v;
    bgra[i + 1] = v;
    bgra[i + 2] = v;
    bgra[i + 3] = static_cast<std::uint8_t>(a >> 1);
  }
}

}  // namespace veyra

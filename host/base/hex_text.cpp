#include "host/base/hex_text.h"

#include <cstdio>

namespace veyra {

std::string LowerHexBytes(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t byte : bytes) {
    text += LowerHexDigit(byte >> 4);
    text += LowerHexDigit(byte);
  }
  return text;
}

std::string StatusHex(std::int32_t status) {
  char text[11];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
  return text;
}

}  // namespace veyra

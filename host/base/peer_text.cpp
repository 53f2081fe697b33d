#include "host/base/peer_text.h"

#include <algorithm>

namespace veyra {
namespace {

constexpr char kHex[] = "0123456789abcdef";

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// The code point of a UTF-8 sequence at |at| that reorders or breaks the
// text around it (bidirectional marks, embeddings, overrides and isolates;
// line and paragraph separators), with its length; 0 for anything else.
char32_t LayoutCharacterAt(std::string_view text, std::size_t at, std::size_t* length) {
  const auto byte = [&](std::size_t i) {
    return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
  };
  if (byte(0) == 0xD8 && byte(1) == 0x9C) {
    *length = 2;
    return U'\u061C';
  }
  if (byte(0) != 0xE2 || (byte(1) != 0x80 && byte(1) != 0x81) || (byte(2) & 0xC0) != 0x80) {
    return 0;
  }
  const char32_t point = 0x2000 + ((byte(1) & 0x3Fu) << 6) + (byte(2) & 0x3Fu);
  const bool layout = point == 0x200E || point == 0x200F || (point >= 0x2028 && point <= 0x202E) ||
                      (point >= 0x2066 && point <= 0x2069);
  *length = 3;
  return layout ? point : 0;
}

}  // namespace

std::string PeerText(std::string_view text, std::size_t limit) {
  // Cut where a character starts, not inside one.
  std::size_t cut = std::min(text.size(), limit);
  while (cut > 0 && cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
    --cut;
  }
  const std::string_view kept = text.substr(0, cut);
  std::string safe;
  safe.reserve(kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) {
    const auto c = static_cast<unsigned char>(kept[i]);
    std::size_t length = 0;
    if (IsControl(c) || c == '\\') {
      safe += "\\x";
      safe += kHex[c >> 4];
      safe += kHex[c & 0xF];
    } else if (const char32_t point = LayoutCharacterAt(kept, i, &length); point != 0) {
      safe += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) {
        safe += kHex[(point >> shift) & 0xF];
      }
      i += length - 1;
    } else {
      safe += kept[i];
    }
  }
  if (kept.size() < text.size()) {
    safe += "...";
  }
  return safe;
}

bool IsAcceptableDeviceId(std::string_view deviceId) {
  return deviceId.size() <= kMaxDeviceIdBytes &&
         std::none_of(deviceId.begin(), deviceId.end(),
                      [](char c) { return IsControl(static_cast<unsigned char>(c)); });
}

}  // namespace veyra

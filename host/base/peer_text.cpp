#include "host/base/peer_text.h"

#include <algorithm>
#include <cctype>

namespace veyra {
namespace {

constexpr char kHex[] = "0123456789abcdef";

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// The code point of the well-formed UTF-8 sequence at |at| and its length in
// *length; 0 with *length 0 when the bytes there are not one (a stray
// continuation byte, an overlong form, a surrogate, a cut-off sequence).
char32_t DecodeAt(std::string_view text, std::size_t at, std::size_t* length) {
  *length = 0;
  const auto byte = [&](std::size_t i) {
    return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
  };
  const unsigned lead = byte(0);
  std::size_t size = 0;
  char32_t point = 0;
  char32_t least = 0;
  if (lead < 0x80) {
    *length = 1;
    return lead;
  }
  if ((lead & 0xE0) == 0xC0) {
    size = 2, point = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    size = 3, point = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    size = 4, point = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  for (std::size_t i = 1; i < size; ++i) {
    if ((byte(i) & 0xC0) != 0x80) {
      return 0;
    }
    point = (point << 6) | (byte(i) & 0x3F);
  }
  if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
    return 0;
  }
  *length = size;
  return point;
}

// Characters that show nothing, reorder the text around them or break its
// line: a peer could hide, join or rearrange text with them, so that a name
// reads as something it is not.
bool IsHiddenOrLayout(char32_t point) {
  return (point >= 0x80 && point <= 0x9F) ||                   // C1 controls
         point == 0xAD || point == 0x34F || point == 0x61C ||  // soft hyphen, joiners
         point == 0x115F || point == 0x1160 || point == 0x17B4 || point == 0x17B5 ||
         (point >= 0x180B && point <= 0x180F) ||                   // Mongolian selectors
         (point >= 0x200B && point <= 0x200F) ||                   // zero widths, marks
         (point >= 0x2028 && point <= 0x202E) ||                   // separators, embeddings
         (point >= 0x2060 && point <= 0x206F) ||                   // word joiner, isolates
         point == 0x3164 || point == 0xFEFF || point == 0xFFA0 ||  // fillers, BOM
         (point >= 0xFE00 && point <= 0xFE0F) ||                   // variation selectors
         (point >= 0xFFF9 && point <= 0xFFFB) ||                   // annotations
         (point >= 0xE0000 && point <= 0xE0FFF);                   // tags, selectors
}

void AppendByteEscape(std::string& out, unsigned char c) {
  out += "\\x";
  out += kHex[c >> 4];
  out += kHex[c & 0xF];
}

void AppendPointEscape(std::string& out, char32_t point) {
  out += point > 0xFFFF ? "\\U" : "\\u";
  for (int shift = point > 0xFFFF ? 28 : 12; shift >= 0; shift -= 4) {
    out += kHex[(point >> shift) & 0xF];
  }
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
  for (std::size_t i = 0; i < kept.size();) {
    const auto c = static_cast<unsigned char>(kept[i]);
    std::size_t length = 0;
    const char32_t point = DecodeAt(kept, i, &length);
    // Bytes that are not UTF-8 are shown for what they are, as are ASCII
    // controls and the escape character itself.
    if (length == 0 || (length == 1 && (IsControl(c) || c == '\\'))) {
      AppendByteEscape(safe, c);
      i += 1;
    } else if (IsHiddenOrLayout(point)) {
      AppendPointEscape(safe, point);
      i += length;
    } else {
      safe.append(kept.substr(i, length));
      i += length;
    }
  }
  if (kept.size() < text.size()) {
    safe += "...";
  }
  return safe;
}

std::string PeerName(std::string_view text, std::size_t limit) {
  const std::string safe = PeerText(text, limit);
  // A run shaped like a verification code ("ABCD-EF01") has its hyphens
  // escaped, so a name cannot show a code of its own beside the real one.
  constexpr std::size_t kCodeGroup = 4;
  const auto alnum = [&](std::size_t at) {
    return at < safe.size() && std::isalnum(static_cast<unsigned char>(safe[at])) != 0;
  };
  std::string out;
  out.reserve(safe.size());
  std::size_t before = 0;  // letters or digits just before safe[i]
  for (std::size_t i = 0; i < safe.size(); ++i) {
    std::size_t after = 0;  // letters or digits just after a hyphen, up to a group
    if (safe[i] == '-' && before >= kCodeGroup) {
      while (after < kCodeGroup && alnum(i + 1 + after)) ++after;
    }
    if (after == kCodeGroup) {
      out += "\\x2d";
    } else {
      out += safe[i];
    }
    before = alnum(i) ? before + 1 : 0;
  }
  return out;
}

bool IsAcceptableDeviceId(std::string_view deviceId) {
  return deviceId.size() <= kMaxDeviceIdBytes &&
         std::none_of(deviceId.begin(), deviceId.end(),
                      [](char c) { return IsControl(static_cast<unsigned char>(c)); });
}

}  // namespace veyra

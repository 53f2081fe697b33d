#include "host/base/utf_conversion.h"

#include <cstddef>
#include <utility>

// Natively wchar_t holds one code point (UTF-32). Invalid input becomes
// U+FFFD, one per bad byte or unpaired unit, as the Windows conversions do.
namespace veyra {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t point) {
  if (point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
    point = kReplacement;
  }
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

// The code point starting at |utf8[i]| and its length in bytes; U+FFFD and
// 1 for an invalid, overlong or truncated sequence.
std::pair<char32_t, std::size_t> DecodeUtf8(std::string_view utf8, std::size_t i) {
  const auto lead = static_cast<unsigned char>(utf8[i]);
  if (lead < 0x80) {
    return {lead, 1};
  }
  std::size_t length = 0;
  char32_t point = 0;
  char32_t smallest = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, point = lead & 0x1F, smallest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, point = lead & 0x0F, smallest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, point = lead & 0x07, smallest = 0x10000;
  } else {
    return {kReplacement, 1};
  }
  if (i + length > utf8.size()) {
    return {kReplacement, 1};
  }
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(utf8[i + k]);
    if ((next & 0xC0) != 0x80) {
      return {kReplacement, 1};
    }
    point = (point << 6) | (next & 0x3F);
  }
  if (point < smallest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
    return {kReplacement, 1};
  }
  return {point, length};
}

}  // namespace

std::string Utf8FromWide(std::wstring_view wide) {
  std::string utf8;
  utf8.reserve(wide.size());
  for (const wchar_t unit : wide) {
    AppendUtf8(utf8, static_cast<char32_t>(unit));
  }
  return utf8;
}

std::wstring WideFromUtf8(std::string_view utf8) {
  std::wstring wide;
  wide.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const auto [point, length] = DecodeUtf8(utf8, i);
    wide += static_cast<wchar_t>(point);
    i += length;
  }
  return wide;
}

}  // namespace veyra

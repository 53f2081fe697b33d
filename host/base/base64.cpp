#include "host/base/base64.h"

#include <array>

namespace veyra::base64 {
namespace {

constexpr std::string_view kStandard =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kUrl =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::uint8_t kNotInAlphabet = 0xFF;

// Six-bit values of each character of |alphabet|; kNotInAlphabet elsewhere.
constexpr std::array<std::uint8_t, 256> ValuesOf(std::string_view alphabet) {
  std::array<std::uint8_t, 256> values{};
  values.fill(kNotInAlphabet);
  for (std::size_t i = 0; i < alphabet.size(); ++i) {
    values[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
  }
  return values;
}

constexpr std::array<std::uint8_t, 256> kStandardValues = ValuesOf(kStandard);
constexpr std::array<std::uint8_t, 256> kUrlValues = ValuesOf(kUrl);

std::string EncodeWith(std::string_view alphabet, std::span<const std::uint8_t> bytes, bool pad) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group =
        (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    text += alphabet[group >> 18];
    text += alphabet[(group >> 12) & 0x3F];
    text += alphabet[(group >> 6) & 0x3F];
    text += alphabet[group & 0x3F];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t group = std::uint32_t{bytes[i]} << 16;
    if (rest == 2) {
      group |= std::uint32_t{bytes[i + 1]} << 8;
    }
    text += alphabet[group >> 18];
    text += alphabet[(group >> 12) & 0x3F];
    if (rest == 2) {
      text += alphabet[(group >> 6) & 0x3F];
    }
    if (pad) {
      text.append(3 - rest, '=');
    }
  }
  return text;
}

// Decodes unpadded |text| whose every character must be in |values|.
std::optional<std::vector<std::uint8_t>> DecodeWith(const std::array<std::uint8_t, 256>& values,
                                                    std::string_view text) {
  // A last group of one character carries six bits: less than a byte.
  if (text.size() % 4 == 1) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3 + 2);
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    const std::uint8_t value = values[static_cast<unsigned char>(c)];
    if (value == kNotInAlphabet) {
      return std::nullopt;
    }
    bits = (bits << 6) | value;
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<std::uint8_t>(bits >> count));
    }
    bits &= (1u << count) - 1;
  }
  // What is left over (2 or 4 bits) must be zero: otherwise a second text
  // would decode to the same bytes.
  if (bits != 0) {
    return std::nullopt;
  }
  return bytes;
}

}  // namespace

std::string Encode(std::span<const std::uint8_t> bytes) {
  return EncodeWith(kStandard, bytes, true);
}

std::string EncodeUrl(std::span<const std::uint8_t> bytes) {
  return EncodeWith(kUrl, bytes, false);
}

std::optional<std::vector<std::uint8_t>> Decode(std::string_view text) {
  if (text.size() % 4 != 0) {
    return std::nullopt;
  }
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
    ++padding;
  }
  return DecodeWith(kStandardValues, text.substr(0, text.size() - padding));
}

std::optional<std::vector<std::uint8_t>> DecodeUrl(std::string_view text) {
  return DecodeWith(kUrlValues, text);
}

}  // namespace veyra::base64

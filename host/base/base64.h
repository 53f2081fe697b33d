#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Base64 in its two alphabets: the standard one ("+/", "=" padded) that
// WebSocket handshakes use, and the URL one ("-_", unpadded) of the browser's
// key and the link's secret.
namespace veyra::base64 {

std::string Encode(std::span<const std::uint8_t> bytes);
std::string EncodeUrl(std::span<const std::uint8_t> bytes);

// Strict decoders: nothing outside the alphabet (no white space), the length
// a whole encoding has, and the unused low bits of the last character zero,
// so that every byte string has exactly one accepted text. Decode wants the
// "=" padding to a multiple of four; DecodeUrl refuses any "=".
std::optional<std::vector<std::uint8_t>> Decode(std::string_view text);
std::optional<std::vector<std::uint8_t>> DecodeUrl(std::string_view text);

}  // namespace veyra::base64

#include "host/base/peer_text.h"

#include <algorithm>

namespace veyra {
namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

std::string PeerText(std::string_view text, std::size_t limit) {
  static constexpr char kHex[] = "0123456789abcdef";
  const std::string_view kept = text.substr(0, std::min(text.size(), limit));
  std::string safe;
  safe.reserve(kept.size());
  for (const char ch : kept) {
    const auto c = static_cast<unsigned char>(ch);
    if (IsControl(c) || c == '\\') {
      safe += "\\x";
      safe += kHex[c >> 4];
      safe += kHex[c & 0xF];
    } else {
      safe += ch;
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

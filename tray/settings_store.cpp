#include "tray/settings_store.h"

#include <algorithm>
#include <cwchar>
#include <limits>

#include "tray/host_launch.h"

namespace veyra {

std::wstring SettingTextFromBuffer(std::span<const wchar_t> buffer) {
  const auto end = std::find(buffer.begin(), buffer.end(), L'\0');
  return std::wstring(buffer.begin(), end);
}

std::int32_t IntFromSettingText(const std::wstring& text, std::int32_t fallback) {
  if (text.empty()) {
    return fallback;
  }
  const wchar_t* begin = text.c_str();
  wchar_t* end = nullptr;
  const long value = std::wcstol(begin, &end, 10);
  // No digits leaves end at the start; anything after the number leaves it
  // short of the terminator.
  if (end == begin || end != begin + text.size()) {
    return fallback;
  }
  constexpr long kMin = std::numeric_limits<std::int32_t>::min();
  constexpr long kMax = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(std::clamp(value, kMin, kMax));
}

bool GuideAlreadyShown(const std::wstring& value) { return value == L"1"; }

std::wstring SettingsStore::ReadReceiverAddress() {
  std::wstring address = Read(kReceiverAddressSetting);
  return IsReceiverAddress(address) ? address : std::wstring();
}

}  // namespace veyra

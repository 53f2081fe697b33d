#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace veyra {

// The tray keeps every choice as a text value of one key of the current
// user; numbers are decimal text.
inline constexpr const wchar_t* kSettingsKeyPath = L"Software\\Brenvik\\Veyra";

inline constexpr const wchar_t* kReceiverAddressSetting = L"ReceiverAddress";
inline constexpr const wchar_t* kReceiverNameSetting = L"ReceiverName";
inline constexpr const wchar_t* kBitrateKbpsSetting = L"BitrateKbps";
inline constexpr const wchar_t* kFpsSetting = L"Fps";
inline constexpr const wchar_t* kSetupGuideShownSetting = L"SetupGuideShown";
inline constexpr const wchar_t* kLastDisplayDeviceNameSetting = L"LastDisplayDeviceName";
inline constexpr const wchar_t* kLastDisplayAdapterIdSetting = L"LastDisplayAdapterId";
inline constexpr const wchar_t* kLastWidthSetting = L"LastWidth";
inline constexpr const wchar_t* kLastHeightSetting = L"LastHeight";
inline constexpr const wchar_t* kLastXSetting = L"LastX";
inline constexpr const wchar_t* kLastYSetting = L"LastY";
// The port the host serves the phone's browser on; absent, 0 or out of
// range: the host's default.
inline constexpr const wchar_t* kServePortSetting = L"ServePort";
// The way the user last connected, offered first in the menu: "app" or
// "browser".
inline constexpr const wchar_t* kLastConnectionSetting = L"LastConnection";
inline constexpr const wchar_t* kLastConnectionApp = L"app";
inline constexpr const wchar_t* kLastConnectionBrowser = L"browser";

inline constexpr std::int32_t kDefaultBitrateKbps = 12000;
inline constexpr std::int32_t kDefaultFps = 60;

// A value is read into a zeroed buffer of this many bytes; a longer value
// (more than 255 characters and the terminator) reads as absent.
inline constexpr std::size_t kSettingBufferBytes = 512;
inline constexpr std::size_t kSettingBufferUnits = kSettingBufferBytes / 2;

// The text in a read buffer: up to its first NUL, and never past the
// buffer, since a value may be stored without its terminator.
std::wstring SettingTextFromBuffer(std::span<const wchar_t> buffer);

// A number setting: the whole text must be one base-10 integer (leading
// white space and a sign allowed), else the fallback. Values beyond 32 bits
// saturate, as the 32-bit conversion of the Windows C library does.
std::int32_t IntFromSettingText(const std::wstring& text, std::int32_t fallback);

// Only the exact text "1" means the guide was opened at a first start.
bool GuideAlreadyShown(const std::wstring& value);

// The tray's settings, in the registry on Windows and in memory in tests.
// Used on the UI thread only.
class SettingsStore {
 public:
  virtual ~SettingsStore() = default;

  // The value's text; empty when it is absent, not text, or unreadable.
  virtual std::wstring Read(const wchar_t* name) = 0;

  // Stores the text, empty text included (values are never deleted).
  // Returns the platform status, 0 on success.
  virtual std::int32_t Write(const wchar_t* name, const std::wstring& text) = 0;

  std::int32_t ReadInt(const wchar_t* name, std::int32_t fallback) {
    return IntFromSettingText(Read(name), fallback);
  }

  // The remembered phone's address; empty, as if none were stored, when the
  // stored text is no receiver address (see IsReceiverAddress).
  std::wstring ReadReceiverAddress();
};

}  // namespace veyra

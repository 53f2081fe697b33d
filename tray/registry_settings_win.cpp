#include "tray/registry_settings_win.h"

#include <windows.h>

#include <array>
#include <utility>

#include "host/base/scoped_registry_key_win.h"

namespace veyra {

RegistrySettingsStore::RegistrySettingsStore(std::wstring keyPath) : keyPath_(std::move(keyPath)) {}

std::wstring RegistrySettingsStore::Read(const wchar_t* name) {
  std::array<wchar_t, kSettingBufferUnits> buffer{};
  DWORD type = 0;
  DWORD size = kSettingBufferBytes;
  LSTATUS status;
  {
    ScopedRegistryKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, keyPath_.c_str(), 0, KEY_READ, key.Receive()) !=
        ERROR_SUCCESS) {
      return {};
    }
    status = RegQueryValueExW(key.Get(), name, nullptr, &type,
                              reinterpret_cast<BYTE*>(buffer.data()), &size);
  }
  // ERROR_MORE_DATA for a value above 512 bytes lands here too.
  if (status != ERROR_SUCCESS || type != REG_SZ) {
    return {};
  }
  return SettingTextFromBuffer(buffer);
}

std::int32_t RegistrySettingsStore::Write(const wchar_t* name, const std::wstring& text) {
  ScopedRegistryKey key;
  const LSTATUS created = RegCreateKeyExW(HKEY_CURRENT_USER, keyPath_.c_str(), 0, nullptr, 0,
                                          KEY_SET_VALUE, nullptr, key.Receive(), nullptr);
  if (created != ERROR_SUCCESS) {
    return created;
  }
  // The byte count includes the terminator, so it is stored with the text
  // (an empty text becomes a present, empty value).
  const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        bytes);
}

std::wstring ReadSetting(const wchar_t* name) { return RegistrySettingsStore().Read(name); }

std::int32_t ReadIntSetting(const wchar_t* name, std::int32_t fallback) {
  return RegistrySettingsStore().ReadInt(name, fallback);
}

std::int32_t WriteSetting(const wchar_t* name, const std::wstring& text) {
  return RegistrySettingsStore().Write(name, text);
}

}  // namespace veyra

#pragma once

#include <cstdint>
#include <string>

#include "tray/settings_store.h"

namespace veyra {

// The tray's settings under HKEY_CURRENT_USER\Software\Brenvik\Veyra. Every
// value is REG_SZ; a value of another type, or one too long for the read
// buffer, reads as absent (empty). Failures are never reported to the user.
std::wstring ReadSetting(const wchar_t* name);
std::int32_t ReadIntSetting(const wchar_t* name, std::int32_t fallback);
// Returns the registry status; callers may ignore it.
std::int32_t WriteSetting(const wchar_t* name, const std::wstring& text);

// The same rules at any key of the current user: the tray's own key by
// default, a scratch key in tests.
class RegistrySettingsStore final : public SettingsStore {
 public:
  explicit RegistrySettingsStore(std::wstring keyPath = kSettingsKeyPath);

  std::wstring Read(const wchar_t* name) override;
  std::int32_t Write(const wchar_t* name, const std::wstring& text) override;

 private:
  std::wstring keyPath_;
};

}  // namespace veyra

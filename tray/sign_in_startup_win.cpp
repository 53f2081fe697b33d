#include "tray/sign_in_startup_win.h"

#include <windows.h>

#include <array>
#include <string>

#include "tray/settings_store.h"

namespace veyra {
namespace {

constexpr const wchar_t* kRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const wchar_t* kRunValue = L"Veyra";
constexpr DWORD kRunValueBytes = 1040;

class ScopedKey {
 public:
  ScopedKey() = default;
  ~ScopedKey() {
    if (key_ != nullptr) {
      RegCloseKey(key_);
    }
  }
  ScopedKey(const ScopedKey&) = delete;
  ScopedKey& operator=(const ScopedKey&) = delete;
  HKEY Get() const { return key_; }
  HKEY* Receive() { return &key_; }

 private:
  HKEY key_ = nullptr;
};

std::wstring QuotedProgramPath() {
  std::array<wchar_t, MAX_PATH> path{};
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  return L"\"" + std::wstring(path.data(), length) + L"\"";
}

}  // namespace

bool IsStartupEnabled() {
  ScopedKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) {
    return false;
  }
  std::array<wchar_t, kRunValueBytes / sizeof(wchar_t)> buffer{};
  DWORD type = 0;
  DWORD size = kRunValueBytes;
  if (RegQueryValueExW(key.Get(), kRunValue, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                       &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  // Case-sensitive on purpose: any program whose path holds this name counts.
  return SettingTextFromBuffer(buffer).find(L"veyra-tray") != std::wstring::npos;
}

bool SetStartupEnabled(bool enable) {
  ScopedKey key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      key.Receive(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  if (!enable) {
    const LSTATUS deleted = RegDeleteValueW(key.Get(), kRunValue);
    return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
  }
  const std::wstring command = QuotedProgramPath();
  const DWORD bytes = static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key.Get(), kRunValue, 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(command.c_str()), bytes) == ERROR_SUCCESS;
}

}  // namespace veyra

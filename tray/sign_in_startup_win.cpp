#include "tray/sign_in_startup_win.h"

#include <objbase.h>
#include <windows.h>

#include <array>
#include <mutex>
#include <string>

#include "host/base/scoped_registry_key_win.h"
#include "host/base/status_codes.h"
#include "tray/sign_in_startup.h"
#include "tray/startup_task_win.h"

namespace veyra {
namespace {

// The worker thread's membership of the multithreaded apartment.
class ScopedComApartment {
 public:
  ScopedComApartment() : status_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ScopedComApartment() {
    if (SUCCEEDED(status_)) {
      CoUninitialize();
    }
  }
  ScopedComApartment(const ScopedComApartment&) = delete;
  ScopedComApartment& operator=(const ScopedComApartment&) = delete;
  bool ok() const { return SUCCEEDED(status_); }

 private:
  HRESULT status_;
};

std::uint32_t PackageNameStatus() {
  // Windows before 8 has no package identity and no such function.
  using Function = LONG(WINAPI*)(UINT32*, PWSTR);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const auto function = kernel == nullptr
                            ? nullptr
                            : reinterpret_cast<Function>(reinterpret_cast<void*>(
                                  GetProcAddress(kernel, "GetCurrentPackageFullName")));
  if (function == nullptr) {
    return status::kAppmodelErrorNoPackage;
  }
  UINT32 length = 0;
  return static_cast<std::uint32_t>(function(&length, nullptr));
}

// Keeps the multithreaded apartment alive for the rest of the process, so
// that runtime objects outlive each worker thread's own membership.
void HoldMultithreadedApartment() {
  static std::once_flag once;
  std::call_once(once, [] {
    CO_MTA_USAGE_COOKIE cookie = nullptr;
    static_cast<void>(CoIncrementMTAUsage(&cookie));  // never released
  });
}

bool RunStartupTask(bool (*work)(StartupTaskClient&)) {
  HoldMultithreadedApartment();
  return RunOnWorkerThread([work] {
    const ScopedComApartment apartment;
    if (!apartment.ok()) {
      return false;
    }
    CombaseRuntime runtime;
    StartupTaskClient client(runtime);
    return work(client);
  });
}

std::wstring ThisProgramPath() {
  std::array<wchar_t, MAX_PATH> path{};
  const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  return {path.data(), length};
}

}  // namespace

bool IsPackaged() {
  static PackagingTest test(PackageNameStatus);
  return test.IsPackaged();
}

bool IsRunValueEnabled() {
  ScopedRegistryKey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS) {
    return false;
  }
  std::array<wchar_t, kRunValueBufferBytes / sizeof(wchar_t)> buffer{};
  DWORD type = 0;
  DWORD size = kRunValueBufferBytes;
  if (RegQueryValueExW(key.Get(), kRunValueName, nullptr, &type,
                       reinterpret_cast<BYTE*>(buffer.data()), &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return false;
  }
  // A stored string need not end in a NUL: only `size` bytes are the value.
  return RunValueNamesTray(buffer, size);
}

bool SetRunValueEnabled(bool enable) {
  ScopedRegistryKey key;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                      key.Receive(), nullptr) != ERROR_SUCCESS) {
    return false;
  }
  if (!enable) {
    const LSTATUS deleted = RegDeleteValueW(key.Get(), kRunValueName);
    return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
  }
  const std::wstring command = QuotedProgramPath(ThisProgramPath());
  const auto bytes = static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t));
  return RegSetValueExW(key.Get(), kRunValueName, 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(command.c_str()), bytes) == ERROR_SUCCESS;
}

bool IsStartupEnabled() {
  if (IsPackaged()) {
    return RunStartupTask([](StartupTaskClient& client) { return client.IsEnabled(); });
  }
  return IsRunValueEnabled();
}

bool SetStartupEnabled(bool enable) {
  if (IsPackaged()) {
    return enable
               ? RunStartupTask([](StartupTaskClient& client) { return client.SetEnabled(true); })
               : RunStartupTask([](StartupTaskClient& client) { return client.SetEnabled(false); });
  }
  return SetRunValueEnabled(enable);
}

}  // namespace veyra

#include "tray/guide_platform_win.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <vector>

#include "host/base/scoped_handle_win.h"
#include "tray/atomic_file_win.h"
#include "tray/data_paths_win.h"
#include "tray/guide_site_win.h"
#include "tray/localized_text.h"

namespace veyra {
namespace {

// The virtual display driver keeps this event while it runs, with or
// without its monitor.
constexpr const wchar_t* kDriverEvent = L"Global\\Veyra.MonitorConnect.v1";
constexpr DWORD kFileUrlUnits = 4096;
// ShellExecuteW reports success as a value above 32.
constexpr INT_PTR kShellExecuteFirstSuccess = 33;

}  // namespace

std::wstring WinGuidePlatform::DataFolder() { return AppDataFolder(); }

std::wstring WinGuidePlatform::FileBesideProgram(const std::wstring& name) {
  return veyra::FileBesideProgram(name);
}

bool WinGuidePlatform::CopyFileOver(const std::wstring& from, const std::wstring& to) {
  return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

bool WinGuidePlatform::WriteFileAtomically(const std::wstring& path, std::string_view bytes) {
  return veyra::WriteFileAtomically(path, bytes);
}

bool WinGuidePlatform::DriverEventExists() {
  // Opened only to learn that it exists; never waited on or signalled.
  const ScopedHandle event(OpenEventW(SYNCHRONIZE, FALSE, kDriverEvent));
  return event.IsValid();
}

std::uint64_t WinGuidePlatform::TickMs() { return GetTickCount64(); }

std::optional<std::wstring> WinGuidePlatform::FileUrl(const std::wstring& path) {
  std::vector<wchar_t> url(kFileUrlUnits);
  DWORD units = kFileUrlUnits;
  if (FAILED(UrlCreateFromPathW(path.c_str(), url.data(), &units, 0))) {
    return std::nullopt;
  }
  return std::wstring(url.data());
}

bool WinGuidePlatform::ProbeGuideSite() { return veyra::ProbeGuideSite(); }

bool WinGuidePlatform::OpenInBrowser(const std::wstring& address) {
  const HINSTANCE result =
      ShellExecuteW(owner_, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) >= kShellExecuteFirstSuccess;
}

void WinGuidePlatform::ShowWarning(const std::wstring& text) {
  MessageBoxW(owner_, text.c_str(), kMessageCaption, MB_ICONWARNING);
}

}  // namespace veyra

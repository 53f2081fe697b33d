#include "tray/display_system_win.h"

#include <windows.h>

#include <cwchar>
#include <iterator>

#include "tray/registry_settings_win.h"

namespace veyra {
namespace {

// The fixed text fields of DISPLAY_DEVICEW are NUL-terminated in practice;
// never read past them all the same.
template <std::size_t N>
std::wstring FieldText(const WCHAR (&field)[N]) {
  return std::wstring(field, wcsnlen(field, N));
}

DISPLAY_DEVICEW EmptyDevice() {
  DISPLAY_DEVICEW device{};
  device.cb = sizeof(device);
  return device;
}

}  // namespace

std::vector<DisplayAdapter> WinDisplaySystem::Adapters() {
  std::vector<DisplayAdapter> adapters;
  DISPLAY_DEVICEW adapter = EmptyDevice();
  for (DWORD i = 0; EnumDisplayDevicesW(nullptr, i, &adapter, 0); ++i) {
    DisplayAdapter entry;
    entry.deviceName = FieldText(adapter.DeviceName);
    entry.deviceId = FieldText(adapter.DeviceID);
    entry.stateFlags = adapter.StateFlags;
    DISPLAY_DEVICEW monitor = EmptyDevice();
    for (DWORD j = 0; EnumDisplayDevicesW(adapter.DeviceName, j, &monitor, 0); ++j) {
      entry.monitorIds.push_back(FieldText(monitor.DeviceID));
      monitor = EmptyDevice();
    }
    adapters.push_back(std::move(entry));
    adapter = EmptyDevice();
  }
  return adapters;
}

std::optional<DisplayMode> WinDisplaySystem::CurrentMode(const std::wstring& deviceName) {
  DEVMODEW mode{};
  mode.dmSize = sizeof(mode);
  if (!EnumDisplaySettingsW(deviceName.c_str(), ENUM_CURRENT_SETTINGS, &mode)) {
    return std::nullopt;
  }
  return DisplayMode{mode.dmPelsWidth, mode.dmPelsHeight, mode.dmPosition.x, mode.dmPosition.y};
}

bool WinDisplaySystem::Detach(const std::wstring& deviceName) {
  // An empty mode at 0,0 takes the display off the desktop. It is stored
  // first and applied by the second call, the way Windows applies changes
  // to several displays at once.
  DEVMODEW mode{};
  mode.dmSize = sizeof(mode);
  mode.dmFields = DM_POSITION | DM_PELSWIDTH | DM_PELSHEIGHT;
  if (ChangeDisplaySettingsExW(deviceName.c_str(), &mode, nullptr, CDS_UPDATEREGISTRY | CDS_NORESET,
                               nullptr) != DISP_CHANGE_SUCCESSFUL) {
    return false;
  }
  return ChangeDisplaySettingsExW(nullptr, nullptr, nullptr, 0, nullptr) == DISP_CHANGE_SUCCESSFUL;
}

DisplayState ProbeExtraDisplay() {
  WinDisplaySystem displays;
  RegistrySettingsStore settings;
  return ExtraDisplay(displays, settings).Probe();
}

bool DetachDisplay(const DisplayState& state) {
  WinDisplaySystem displays;
  RegistrySettingsStore settings;
  return ExtraDisplay(displays, settings).Detach(state);
}

void SaveDisplayPlacement(const DisplayState& state) {
  WinDisplaySystem displays;
  RegistrySettingsStore settings;
  ExtraDisplay(displays, settings).SavePlacement(state);
}

void TurnOffExtraDisplay() {
  WinDisplaySystem displays;
  RegistrySettingsStore settings;
  ExtraDisplay(displays, settings).TurnOff();
}

}  // namespace veyra

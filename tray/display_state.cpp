#include "tray/display_state.h"

#include <algorithm>

#include "host/base/ascii_case.h"

namespace veyra {

std::optional<std::size_t> FindExtraDisplayAdapter(std::span<const DisplayAdapter> adapters) {
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    const auto& monitors = adapters[i].monitorIds;
    const bool hasExtraMonitor = std::any_of(monitors.begin(), monitors.end(), [](const auto& id) {
      return id.find(kExtraMonitorHardwareId) != std::wstring::npos;
    });
    if (hasExtraMonitor) {
      return i;
    }
  }
  return std::nullopt;
}

std::optional<std::size_t> FindRememberedAdapter(std::span<const DisplayAdapter> adapters,
                                                 const std::wstring& lastDeviceName,
                                                 const std::wstring& lastAdapterId) {
  if (lastDeviceName.empty() && lastAdapterId.empty()) {
    return std::nullopt;
  }
  const bool byId = !lastAdapterId.empty();
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    const bool matches = byId ? EqualsIgnoringAsciiCase(adapters[i].deviceId, lastAdapterId)
                              : EqualsIgnoringAsciiCase(adapters[i].deviceName, lastDeviceName);
    if (matches) {
      return i;
    }
  }
  return std::nullopt;
}

DisplayState StateFromAdapter(const DisplayAdapter& adapter,
                              const std::optional<DisplayMode>& mode) {
  DisplayState state;
  state.present = true;
  state.attached = (adapter.stateFlags & kAdapterAttachedToDesktop) != 0;
  state.deviceName = adapter.deviceName;
  state.deviceId = adapter.deviceId;
  if (mode) {
    state.width = mode->width;
    state.height = mode->height;
    state.left = mode->left;
    state.top = mode->top;
  }
  return state;
}

std::vector<std::pair<const wchar_t*, std::wstring>> PlacementSettings(const DisplayState& state) {
  std::vector<std::pair<const wchar_t*, std::wstring>> settings;
  if (state.present && !state.deviceName.empty()) {
    settings.emplace_back(kLastDisplayDeviceNameSetting, state.deviceName);
    if (!state.deviceId.empty()) {
      settings.emplace_back(kLastDisplayAdapterIdSetting, state.deviceId);
    }
  }
  if (state.attached && state.width != 0 && state.height != 0) {
    settings.emplace_back(kLastWidthSetting, std::to_wstring(state.width));
    settings.emplace_back(kLastHeightSetting, std::to_wstring(state.height));
    settings.emplace_back(kLastXSetting, std::to_wstring(state.left));
    settings.emplace_back(kLastYSetting, std::to_wstring(state.top));
  }
  return settings;
}

DisplayState ExtraDisplay::Probe() {
  const std::vector<DisplayAdapter> adapters = displays_.Adapters();
  std::optional<std::size_t> found = FindExtraDisplayAdapter(adapters);
  if (!found) {
    // The driver's monitor can be missing while its adapter is still there
    // (detached), so fall back to the adapter seen last time.
    found = FindRememberedAdapter(adapters, settings_.Read(kLastDisplayDeviceNameSetting),
                                  settings_.Read(kLastDisplayAdapterIdSetting));
  }
  if (!found) {
    return {};
  }
  const DisplayAdapter& adapter = adapters[*found];
  return StateFromAdapter(adapter, displays_.CurrentMode(adapter.deviceName));
}

bool ExtraDisplay::Detach(const DisplayState& state) {
  if (!state.present) {
    return false;
  }
  return displays_.Detach(state.deviceName);
}

void ExtraDisplay::SavePlacement(const DisplayState& state) {
  for (const auto& [name, text] : PlacementSettings(state)) {
    settings_.Write(name, text);
  }
}

void ExtraDisplay::TurnOff() {
  const DisplayState state = Probe();
  SavePlacement(state);
  if (state.present && state.attached) {
    Detach(state);
  }
}

}  // namespace veyra

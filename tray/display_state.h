#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "tray/settings_store.h"

namespace veyra {

// The phone's extra display as the tray last saw it. A value, replaced
// whole on every probe; all false, empty or 0 when nothing was found.
struct DisplayState {
  bool present = false;     // the extra display's adapter was found
  bool attached = false;    // that adapter is part of the desktop
  std::wstring deviceName;  // for example \\.\DISPLAY3
  std::wstring deviceId;
  std::uint32_t width = 0;  // current mode; 0 when it could not be read
  std::uint32_t height = 0;
  std::int32_t left = 0;  // desktop position of the top-left corner
  std::int32_t top = 0;

  bool operator==(const DisplayState&) const = default;
};

// The virtual display driver's monitor carries this hardware id inside its
// device id (compared case-sensitively, as a substring).
inline constexpr const wchar_t* kExtraMonitorHardwareId = L"VYR0001";

// DISPLAY_DEVICE_ATTACHED_TO_DESKTOP in an adapter's state flags.
inline constexpr std::uint32_t kAdapterAttachedToDesktop = 0x1;

// One display adapter in enumeration order, with the device ids of the
// monitors listed under it.
struct DisplayAdapter {
  std::wstring deviceName;
  std::wstring deviceId;
  std::uint32_t stateFlags = 0;
  std::vector<std::wstring> monitorIds;
};

struct DisplayMode {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::int32_t left = 0;
  std::int32_t top = 0;
};

// The index of the first adapter with the driver's monitor.
std::optional<std::size_t> FindExtraDisplayAdapter(std::span<const DisplayAdapter> adapters);

// The index of the first adapter matching what was remembered: by device
// id when one is remembered (the name is then not used at all), else by
// device name; both compared without regard to case.
std::optional<std::size_t> FindRememberedAdapter(std::span<const DisplayAdapter> adapters,
                                                 const std::wstring& lastDeviceName,
                                                 const std::wstring& lastAdapterId);

DisplayState StateFromAdapter(const DisplayAdapter& adapter,
                              const std::optional<DisplayMode>& mode);

// The settings that record a state, in the order they are written. Names
// only for a detached display, so its last mode and position survive.
std::vector<std::pair<const wchar_t*, std::wstring>> PlacementSettings(const DisplayState& state);

// The platform's display enumeration and settings.
class DisplaySystem {
 public:
  virtual ~DisplaySystem() = default;

  // Every adapter with its monitors, in enumeration order.
  virtual std::vector<DisplayAdapter> Adapters() = 0;

  // The adapter's current mode and position, when readable.
  virtual std::optional<DisplayMode> CurrentMode(const std::wstring& deviceName) = 0;

  // Takes the adapter off the desktop (an empty mode at 0,0), stored and
  // applied. True when both steps succeeded.
  virtual bool Detach(const std::wstring& deviceName) = 0;
};

// Finds the extra display, remembers where it sat, and takes it off the
// desktop. The tray never attaches it. UI thread only.
class ExtraDisplay {
 public:
  ExtraDisplay(DisplaySystem& displays, SettingsStore& settings)
      : displays_(displays), settings_(settings) {}

  DisplayState Probe();
  bool Detach(const DisplayState& state);
  void SavePlacement(const DisplayState& state);

  // Probes, saves the placement, and detaches the display when it is part
  // of the desktop. Failures change nothing and are not reported.
  void TurnOff();

 private:
  DisplaySystem& displays_;
  SettingsStore& settings_;
};

}  // namespace veyra

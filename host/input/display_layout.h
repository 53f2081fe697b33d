#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace veyra {

// A rectangle in virtual-desktop pixels; right and bottom are exclusive.
struct DesktopRect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;

  bool operator==(const DesktopRect&) const = default;
};

// The bounding box of all monitors, as the system reports it.
struct VirtualDesktop {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;

  bool operator==(const VirtualDesktop&) const = default;
};

struct MonitorDescription {
  std::wstring deviceName;  // "\\.\DISPLAY1" and the like
  DesktopRect rect;
};

// The monitors attached to the desktop. Called only with the injector's lock
// held.
class DisplayLayout {
 public:
  virtual ~DisplayLayout() = default;

  // Every monitor whose details could be read, in the system's order.
  virtual std::vector<MonitorDescription> Monitors() = 0;
  virtual VirtualDesktop ReadVirtualDesktop() = 0;
};

}  // namespace veyra

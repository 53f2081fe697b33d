#include <windows.h>

#include "host/input/input_platform_win.h"

namespace veyra {
namespace {

BOOL CALLBACK CollectMonitor(HMONITOR monitor, HDC, LPRECT, LPARAM context) {
  // The enumeration hands back the pointer it was given as an LPARAM.
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  auto* monitors = reinterpret_cast<std::vector<MonitorDescription>*>(context);
  MONITORINFOEXW info{};
  info.cbSize = sizeof(info);
  // A monitor that vanished mid-enumeration is skipped, not fatal.
  if (GetMonitorInfoW(monitor, &info)) {
    const RECT& r = info.rcMonitor;
    monitors->push_back({info.szDevice, DesktopRect{r.left, r.top, r.right, r.bottom}});
  }
  return TRUE;
}

class WindowsDisplayLayout final : public DisplayLayout {
 public:
  std::vector<MonitorDescription> Monitors() override {
    std::vector<MonitorDescription> monitors;
    EnumDisplayMonitors(nullptr, nullptr, &CollectMonitor, reinterpret_cast<LPARAM>(&monitors));
    return monitors;
  }

  VirtualDesktop ReadVirtualDesktop() override {
    return VirtualDesktop{GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                          GetSystemMetrics(SM_CXVIRTUALSCREEN),
                          GetSystemMetrics(SM_CYVIRTUALSCREEN)};
  }
};

}  // namespace

std::unique_ptr<DisplayLayout> CreateWindowsDisplayLayout() {
  return std::make_unique<WindowsDisplayLayout>();
}

}  // namespace veyra

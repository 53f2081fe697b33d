#pragma once

#include <utility>
#include <vector>

#include "host/input/display_layout.h"

namespace veyra {

// A desktop of scripted monitors. Starts as one 1920 x 1080 monitor,
// "\\.\DISPLAY1", at the origin.
class FakeDisplayLayout final : public DisplayLayout {
 public:
  FakeDisplayLayout()
      : monitors_{{L"\\\\.\\DISPLAY1", DesktopRect{0, 0, 1920, 1080}}},
        desktop_{0, 0, 1920, 1080} {}

  std::vector<MonitorDescription> Monitors() override { return monitors_; }
  VirtualDesktop ReadVirtualDesktop() override { return desktop_; }

  void SetMonitors(std::vector<MonitorDescription> monitors) { monitors_ = std::move(monitors); }
  void SetVirtualDesktop(const VirtualDesktop& desktop) { desktop_ = desktop; }

 private:
  std::vector<MonitorDescription> monitors_;
  VirtualDesktop desktop_;
};

}  // namespace veyra

#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tray/display_state.h"

namespace veyra {

// Displays described by the test. Records detach requests; onDetach runs at
// the moment of each request so a test can see what had happened before.
class FakeDisplaySystem final : public DisplaySystem {
 public:
  std::vector<DisplayAdapter> Adapters() override { return adapters; }

  std::optional<DisplayMode> CurrentMode(const std::wstring& deviceName) override {
    const auto it = modes.find(deviceName);
    if (it == modes.end()) {
      return std::nullopt;
    }
    return it->second;
  }

  bool Detach(const std::wstring& deviceName) override {
    detached.push_back(deviceName);
    if (onDetach) {
      onDetach();
    }
    return detachResult;
  }

  std::vector<DisplayAdapter> adapters;
  std::map<std::wstring, DisplayMode> modes;
  bool detachResult = true;
  std::function<void()> onDetach;
  std::vector<std::wstring> detached;
};

}  // namespace veyra

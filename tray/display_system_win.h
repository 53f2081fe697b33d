#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tray/display_state.h"

namespace veyra {

// The display adapters and settings of this session (user32).
class WinDisplaySystem final : public DisplaySystem {
 public:
  std::vector<DisplayAdapter> Adapters() override;
  std::optional<DisplayMode> CurrentMode(const std::wstring& deviceName) override;
  bool Detach(const std::wstring& deviceName) override;
};

// The extra display on this PC, remembered in the tray's settings. UI
// thread only.
DisplayState ProbeExtraDisplay();
bool DetachDisplay(const DisplayState& state);
void SaveDisplayPlacement(const DisplayState& state);
void TurnOffExtraDisplay();

}  // namespace veyra

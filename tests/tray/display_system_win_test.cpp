#include "tray/display_system_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <string>

#include "host/net/dns_sd_browser_win.h"
#include "tray/fake_settings_store.h"

namespace veyra {
namespace {

// Wine on Xvfb shows one monitor on one adapter, and no virtual display
// driver.
class DisplaySystemUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!RunningUnderWine()) {
      GTEST_SKIP() << "expects Wine's single display";
    }
  }

  WinDisplaySystem displays_;
};

TEST_F(DisplaySystemUnderWine, ListsTheAttachedAdapterWithoutTheExtraMonitor) {
  const auto adapters = displays_.Adapters();
  ASSERT_FALSE(adapters.empty());
  EXPECT_TRUE(adapters[0].stateFlags & kAdapterAttachedToDesktop);
  EXPECT_FALSE(adapters[0].deviceName.empty());
  EXPECT_FALSE(FindExtraDisplayAdapter(adapters).has_value());
  const auto mode = displays_.CurrentMode(adapters[0].deviceName);
  ASSERT_TRUE(mode.has_value());
  EXPECT_GT(mode->width, 0u);
  EXPECT_GT(mode->height, 0u);
}

TEST_F(DisplaySystemUnderWine, ProbeFindsNoExtraDisplay) {
  EXPECT_EQ(ProbeExtraDisplay(), DisplayState{});
}

TEST_F(DisplaySystemUnderWine, TurningOffWithoutAnExtraDisplayChangesNothing) {
  const auto before = displays_.Adapters();
  const auto modeBefore = displays_.CurrentMode(before[0].deviceName);
  FakeSettingsStore settings;
  ExtraDisplay(displays_, settings).TurnOff();
  EXPECT_TRUE(settings.writes().empty());
  const auto after = displays_.Adapters();
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after[0].stateFlags, before[0].stateFlags);
  const auto modeAfter = displays_.CurrentMode(after[0].deviceName);
  ASSERT_TRUE(modeBefore && modeAfter);
  EXPECT_EQ(modeAfter->width, modeBefore->width);
  EXPECT_EQ(modeAfter->left, modeBefore->left);
}

TEST_F(DisplaySystemUnderWine, RememberedNameFindsTheAdapterWithItsMode) {
  const auto adapters = displays_.Adapters();
  std::wstring lowerName = adapters[0].deviceName;
  for (wchar_t& c : lowerName) {
    c = static_cast<wchar_t>(std::towlower(c));
  }
  FakeSettingsStore settings;
  settings.Set(kLastDisplayDeviceNameSetting, lowerName);
  const DisplayState state = ExtraDisplay(displays_, settings).Probe();
  EXPECT_TRUE(state.present);
  EXPECT_TRUE(state.attached);
  EXPECT_EQ(state.deviceName, adapters[0].deviceName);
  EXPECT_GT(state.width, 0u);
}

}  // namespace
}  // namespace veyra

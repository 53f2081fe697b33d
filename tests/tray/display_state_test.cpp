#include "tray/display_state.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tray/fake_display_system.h"
#include "tray/fake_settings_store.h"

namespace veyra {
namespace {

using Writes = std::vector<std::pair<std::wstring, std::wstring>>;

const wchar_t* const kExtraMonitorId =
    L"MONITOR\\VYR0001\\{4d36e96e-e325-11ce-bfc1-08002be10318}\\0001";
const wchar_t* const kExtraAdapterId = L"ROOT\\DISPLAY\\0000";

DisplayAdapter PrimaryAdapter() {
  return {L"\\\\.\\DISPLAY1",
          L"PCI\\VEN_10DE&DEV_2484",
          kAdapterAttachedToDesktop,
          {L"MONITOR\\DEL4100\\{4d36e96e-e325-11ce-bfc1-08002be10318}\\0000"}};
}

DisplayAdapter ExtraAdapter(std::uint32_t flags, std::vector<std::wstring> monitors) {
  return {L"\\\\.\\DISPLAY3", kExtraAdapterId, flags, std::move(monitors)};
}

class ExtraDisplayTest : public ::testing::Test {
 protected:
  FakeDisplaySystem displays_;
  FakeSettingsStore settings_;
  ExtraDisplay extra_{displays_, settings_};
};

TEST_F(ExtraDisplayTest, NoDriverAndNothingRememberedLeavesEverythingAlone) {
  displays_.adapters = {PrimaryAdapter()};
  EXPECT_EQ(extra_.Probe(), DisplayState{});
  extra_.TurnOff();
  EXPECT_TRUE(settings_.writes().empty());
  EXPECT_TRUE(displays_.detached.empty());
  EXPECT_FALSE(extra_.Detach(DisplayState{}));
}

TEST_F(ExtraDisplayTest, AttachedDisplayIsRecordedThenDetached) {
  displays_.adapters = {PrimaryAdapter(),
                        ExtraAdapter(kAdapterAttachedToDesktop, {L"MONITOR\\X", kExtraMonitorId})};
  displays_.modes[L"\\\\.\\DISPLAY3"] = {1920, 1080, -1920, 0};
  std::size_t writesBeforeDetach = 0;
  displays_.onDetach = [&] { writesBeforeDetach = settings_.writes().size(); };

  extra_.TurnOff();

  const Writes expected = {{L"LastDisplayDeviceName", L"\\\\.\\DISPLAY3"},
                           {L"LastDisplayAdapterId", kExtraAdapterId},
                           {L"LastWidth", L"1920"},
                           {L"LastHeight", L"1080"},
                           {L"LastX", L"-1920"},
                           {L"LastY", L"0"}};
  EXPECT_EQ(settings_.writes(), expected);
  EXPECT_EQ(displays_.detached, std::vector<std::wstring>{L"\\\\.\\DISPLAY3"});
  EXPECT_EQ(writesBeforeDetach, expected.size());
}

TEST_F(ExtraDisplayTest, ProbeFillsTheStateFromTheDriversAdapter) {
  displays_.adapters = {ExtraAdapter(kAdapterAttachedToDesktop, {kExtraMonitorId}),
                        PrimaryAdapter()};
  displays_.modes[L"\\\\.\\DISPLAY3"] = {2400, 1080, 1920, -200};
  const DisplayState expected{true, true, L"\\\\.\\DISPLAY3", kExtraAdapterId, 2400, 1080,
                              1920, -200};
  EXPECT_EQ(extra_.Probe(), expected);
}

TEST_F(ExtraDisplayTest, UnreadableModeLeavesSizeAndPositionZero) {
  displays_.adapters = {ExtraAdapter(kAdapterAttachedToDesktop, {kExtraMonitorId})};
  const DisplayState state = extra_.Probe();
  EXPECT_TRUE(state.present);
  EXPECT_EQ(state.width, 0u);
  EXPECT_EQ(state.left, 0);
  // Without a mode nothing but the names is recorded.
  extra_.SavePlacement(state);
  EXPECT_EQ(settings_.writes().size(), 2u);
}

TEST_F(ExtraDisplayTest, HardwareIdIsMatchedWithItsCase) {
  displays_.adapters = {ExtraAdapter(kAdapterAttachedToDesktop, {L"MONITOR\\vyr0001\\0"})};
  EXPECT_FALSE(extra_.Probe().present);
}

TEST_F(ExtraDisplayTest, MissingMonitorFallsBackToTheAdapterRememberedById) {
  displays_.adapters = {PrimaryAdapter(), ExtraAdapter(0, {})};
  settings_.Set(kLastDisplayAdapterIdSetting, L"root\\display\\0000");
  // A remembered id wins even when the remembered name names another
  // adapter.
  settings_.Set(kLastDisplayDeviceNameSetting, L"\\\\.\\DISPLAY1");
  const DisplayState state = extra_.Probe();
  EXPECT_TRUE(state.present);
  EXPECT_FALSE(state.attached);
  EXPECT_EQ(state.deviceName, L"\\\\.\\DISPLAY3");
}

TEST_F(ExtraDisplayTest, EmptyRememberedIdFallsBackToTheNameIgnoringCase) {
  displays_.adapters = {PrimaryAdapter(), ExtraAdapter(0, {})};
  settings_.Set(kLastDisplayAdapterIdSetting, L"");
  settings_.Set(kLastDisplayDeviceNameSetting, L"\\\\.\\display3");
  EXPECT_EQ(extra_.Probe().deviceId, kExtraAdapterId);
}

TEST_F(ExtraDisplayTest, RememberedIdMatchingNothingFindsNothing) {
  displays_.adapters = {PrimaryAdapter(), ExtraAdapter(0, {})};
  settings_.Set(kLastDisplayAdapterIdSetting, L"ROOT\\DISPLAY\\0001");
  settings_.Set(kLastDisplayDeviceNameSetting, L"\\\\.\\DISPLAY3");
  EXPECT_FALSE(extra_.Probe().present);
}

TEST_F(ExtraDisplayTest, LowerIndexWinsAmongAdaptersWithTheRememberedId) {
  DisplayAdapter first = ExtraAdapter(0, {});
  first.deviceName = L"\\\\.\\DISPLAY2";
  displays_.adapters = {PrimaryAdapter(), first, ExtraAdapter(kAdapterAttachedToDesktop, {})};
  settings_.Set(kLastDisplayAdapterIdSetting, kExtraAdapterId);
  EXPECT_EQ(extra_.Probe().deviceName, L"\\\\.\\DISPLAY2");
}

TEST_F(ExtraDisplayTest, DetachedDisplaySavesOnlyItsNames) {
  displays_.adapters = {PrimaryAdapter(), ExtraAdapter(0, {kExtraMonitorId})};
  displays_.modes[L"\\\\.\\DISPLAY3"] = {1920, 1080, -1920, 0};
  settings_.Set(kLastWidthSetting, L"2400");

  extra_.TurnOff();

  const Writes expected = {{L"LastDisplayDeviceName", L"\\\\.\\DISPLAY3"},
                           {L"LastDisplayAdapterId", kExtraAdapterId}};
  EXPECT_EQ(settings_.writes(), expected);
  EXPECT_EQ(settings_.Read(kLastWidthSetting), L"2400");
  EXPECT_TRUE(displays_.detached.empty());
}

TEST_F(ExtraDisplayTest, FailedDetachIsNotReportedAndChangesNothingElse) {
  displays_.adapters = {ExtraAdapter(kAdapterAttachedToDesktop, {kExtraMonitorId})};
  displays_.modes[L"\\\\.\\DISPLAY3"] = {1920, 1080, -1920, 0};
  displays_.detachResult = false;
  settings_.SetWriteStatus(5);  // access denied: the placement is lost, nothing else
  extra_.TurnOff();
  EXPECT_EQ(displays_.detached.size(), 1u);
  EXPECT_TRUE(settings_.values().empty());
}

TEST(PlacementSettingsTest, EmptyIdIsNotWrittenOverTheRememberedOne) {
  DisplayState state{true, true, L"\\\\.\\DISPLAY3", L"", 1280, 720, 0, 1080};
  const auto settings = PlacementSettings(state);
  ASSERT_EQ(settings.size(), 5u);
  EXPECT_STREQ(settings[0].first, kLastDisplayDeviceNameSetting);
  EXPECT_STREQ(settings[1].first, kLastWidthSetting);
}

}  // namespace
}  // namespace veyra

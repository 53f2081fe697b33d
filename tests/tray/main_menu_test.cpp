#include "tray/main_menu.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tray/tray_commands.h"

namespace veyra {
namespace {

using Kind = MenuItem::Kind;

MainMenuInputs Defaults() {
  MainMenuInputs in;
  in.bitrateKbps = 12000;
  in.fps = 60;
  return in;
}

// One line per item: "id label [checked] [grayed]", "-" for a separator,
// "> label" for a submenu followed by its items indented.
std::vector<std::wstring> Describe(const std::vector<MenuItem>& items,
                                   const std::wstring& indent = L"") {
  std::vector<std::wstring> lines;
  for (const MenuItem& item : items) {
    switch (item.kind) {
      case Kind::Separator:
        lines.push_back(indent + L"-");
        break;
      case Kind::Submenu: {
        lines.push_back(indent + L"> " + item.label);
        for (const std::wstring& line : Describe(item.children, indent + L"  ")) {
          lines.push_back(line);
        }
        break;
      }
      case Kind::Command:
        lines.push_back(indent + std::to_wstring(item.id) + L" " + item.label +
                        (item.checked ? L" [checked]" : L"") + (item.grayed ? L" [grayed]" : L""));
        break;
    }
  }
  return lines;
}

TEST(MainMenuTest, FreshAccountInEnglish) {
  const std::vector<std::wstring> expected = {
      L"109 Connection guide and status...",
      L"-",
      L"104 Connect (find my phone)",
      L"107 Connect a phone's browser (show a code)...",
      L"106 Enter the address by hand...",
      L"> Picture quality",
      L"  200 Data saver (6 Mbps)",
      L"  201 Standard (12 Mbps) [checked]",
      L"  202 Sharper (20 Mbps)",
      L"  -",
      L"  210 Smooth motion (60 fps) [checked]",
      L"  211 Battery saver (30 fps)",
      L"-",
      L"111 Forget approved phones...",
      L"103 Open this menu automatically when I sign in",
      L"-",
      L"100 Exit",
  };
  EXPECT_EQ(Describe(BuildMainMenu(Defaults())), expected);
}

TEST(MainMenuTest, HostRunningInKoreanNamesThePhoneAndNotesWhenPresetsApply) {
  MainMenuInputs in = Defaults();
  in.korean = true;
  in.hostRunning = true;
  in.hostRunningAtQuality = true;
  in.name = L"Living room phone";
  in.address = L"192.168.1.20";
  in.bitrateKbps = 20000;
  in.fps = 30;
  in.startupEnabled = true;
  const std::vector<std::wstring> expected = {
      L"109 연결 안내 및 현재 상태...",
      L"-",
      L"105 Living room phone 연결 끊기",
      L"107 휴대폰 브라우저로 연결 (코드 표시)...",
      L"106 주소 직접 입력...",
      L"> 화질",
      L"  200 데이터 절약 (6 Mbps)",
      L"  201 표준 (12 Mbps)",
      L"  202 고화질 (20 Mbps) [checked]",
      L"  -",
      L"  210 부드러운 움직임 (60 fps)",
      L"  211 배터리 절약 (30 fps) [checked]",
      L"  -",
      L"  0 다음 연결부터 적용 [grayed]",
      L"-",
      L"111 승인된 기기 기록 지우기...",
      L"103 로그인할 때 자동으로 실행 [checked]",
      L"-",
      L"100 종료",
  };
  EXPECT_EQ(Describe(BuildMainMenu(in)), expected);
}

// The connection item, third in the menu, in each state.
TEST(MainMenuTest, ConnectionItemFollowsHostSearchAndRememberedPhone) {
  struct Case {
    bool running;
    bool searching;
    const wchar_t* name;
    const wchar_t* address;
    bool korean;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {true, false, L"", L"192.168.1.20", false, L"105 Disconnect from 192.168.1.20"},
      {true, false, L"", L"", false, L"105 Disconnect"},
      {true, true, L"Pixel", L"10.0.0.2", false, L"105 Disconnect from Pixel"},
      {false, true, L"Pixel", L"10.0.0.2", false, L"0 Looking for your phone... [grayed]"},
      {false, true, L"", L"", true, L"0 폰을 찾는 중... [grayed]"},
      {false, false, L"Pixel", L"10.0.0.2", false, L"104 Connect to Pixel"},
      {false, false, L"Pixel", L"10.0.0.2", true, L"104 Pixel에 연결"},
      // A typed address leaves no name: the search item, not the address.
      {false, false, L"", L"10.0.0.2", false, L"104 Connect (find my phone)"},
      {true, false, L"", L"", true, L"105 연결 끊기"},
  };
  for (const Case& c : cases) {
    MainMenuInputs in = Defaults();
    in.hostRunning = c.running;
    in.searching = c.searching;
    in.name = c.name;
    in.address = c.address;
    in.korean = c.korean;
    EXPECT_EQ(Describe(BuildMainMenu(in))[2], c.expected) << c.expected;
  }
}

TEST(MainMenuTest, OnlyPresetValuesCarryCheckMarks) {
  MainMenuInputs in = Defaults();
  in.bitrateKbps = 8000;  // stored by hand: passed to the host, no preset
  in.fps = 60;            // what a non-numeric "Fps" reads as
  const MenuItem quality = BuildMainMenu(in)[5];
  ASSERT_EQ(quality.kind, Kind::Submenu);
  ASSERT_EQ(quality.children.size(), 6U);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_FALSE(quality.children[i].checked) << i;
  }
  EXPECT_TRUE(quality.children[4].checked);
  EXPECT_FALSE(quality.children[5].checked);
}

TEST(MainMenuTest, AppliesNextFollowsTheSecondHostCheck) {
  MainMenuInputs in = Defaults();
  in.hostRunning = false;
  in.hostRunningAtQuality = true;  // a host appeared while the menu was built
  const std::vector<MenuItem> menu = BuildMainMenu(in);
  EXPECT_EQ(menu[2].id, kCmdConnect);
  ASSERT_EQ(menu[5].children.size(), 8U);
  EXPECT_TRUE(menu[5].children[7].grayed);
}

// The phone's browser: offered first when it was the last way used (unless
// a host runs), its code shown again while it is served, and the served
// phone named on the disconnect item rather than the app's remembered one.
TEST(MainMenuTest, BrowserItemFollowsTheLastPathAndTheServingHost) {
  struct Case {
    bool running;
    bool serving;
    bool browserFirst;
    const wchar_t* servedPhone;
    const wchar_t* second;
    const wchar_t* third;
  };
  const Case cases[] = {
      {false, false, true, L"", L"107 Connect a phone's browser (show a code)...",
       L"104 Connect to Pixel"},
      {true, true, true, L"", L"105 Disconnect", L"107 Show the code for the phone's browser..."},
      {true, true, false, L"Tab S9", L"105 Disconnect from Tab S9",
       L"107 Show the code for the phone's browser..."},
      {true, false, true, L"", L"105 Disconnect from Pixel",
       L"107 Connect a phone's browser (show a code)..."},
  };
  for (const Case& c : cases) {
    MainMenuInputs in = Defaults();
    in.name = L"Pixel";
    in.hostRunning = c.running;
    in.serving = c.serving;
    in.browserFirst = c.browserFirst;
    in.servedPhone = c.servedPhone;
    const std::vector<std::wstring> menu = Describe(BuildMainMenu(in));
    EXPECT_EQ(menu[2], c.second) << c.second;
    EXPECT_EQ(menu[3], c.third) << c.third;
  }
}

TEST(MainMenuTest, LongNamesAreCutToTheLabelBuffer) {
  MainMenuInputs in = Defaults();
  in.name = std::wstring(300, L'n');
  const MenuItem item = BuildMainMenu(in)[2];
  EXPECT_EQ(item.label.size(), kMenuLabelUnits - 1);
  EXPECT_EQ(item.label.substr(0, 11), L"Connect to ");
}

TEST(MainMenuTest, CutNeverSplitsASurrogatePair) {
  if constexpr (sizeof(wchar_t) == 2) {
    const std::wstring text = std::wstring(4, L'a') + L"\xD83D\xDCF1";  // a phone emoji
    EXPECT_EQ(CutToUnits(text, 5), L"aaaa");
    EXPECT_EQ(CutToUnits(text, 6), text);
  } else {
    GTEST_SKIP() << "wide characters are whole code points here";
  }
}

TEST(PhonePickerTest, EntriesTellPhonesOfOneNameApartInListOrder) {
  // The second name tries to reverse how its address reads.
  const std::vector<FoundPhone> phones = {{L"Pixel 8", L"192.168.1.20", 47820},
                                          {L"Pixel 8\u202E", L"192.168.1.31", 47000}};
  const std::vector<MenuItem> picker = BuildPhonePicker(phones);
  ASSERT_EQ(picker.size(), 2U);
  EXPECT_EQ(picker[0].id, 500);
  EXPECT_EQ(picker[0].label, L"Pixel 8 (192.168.1.20)");
  EXPECT_EQ(picker[1].id, 501);
  EXPECT_EQ(picker[1].label, L"Pixel 8\\u202e (192.168.1.31)");
  EXPECT_FALSE(picker[1].checked || picker[1].grayed);
}

TEST(PhonePickerTest, LongEntriesAreCutAndIdentifiersNeverWrap) {
  std::vector<FoundPhone> phones(70000, FoundPhone{std::wstring(250, L'p'), L"10.0.0.1", 1});
  const std::vector<MenuItem> picker = BuildPhonePicker(phones);
  EXPECT_EQ(picker.front().label.size(), kPickerLabelUnits - 1);
  EXPECT_TRUE(picker.front().label.ends_with(L"p (10.0.0.1)"));
  EXPECT_EQ(picker.back().id, 0xFFFF);
  EXPECT_EQ(PickedPhoneIndex(0xFFFF, phones.size()), 0xFFFFU - kCmdPhoneFirst);
}

TEST(QualityPresetTest, EachCommandWritesItsSetting) {
  struct Case {
    std::uint16_t command;
    const wchar_t* setting;
    const wchar_t* value;
  };
  const Case cases[] = {{200, L"BitrateKbps", L"6000"},
                        {201, L"BitrateKbps", L"12000"},
                        {202, L"BitrateKbps", L"20000"},
                        {210, L"Fps", L"60"},
                        {211, L"Fps", L"30"}};
  for (const Case& c : cases) {
    const auto written = PresetSettingFor(c.command);
    ASSERT_TRUE(written.has_value()) << c.command;
    EXPECT_EQ(std::wstring(written->first), c.setting);
    EXPECT_EQ(written->second, c.value);
  }
  for (std::uint16_t other : {99, 100, 203, 209, 212, 500}) {
    EXPECT_FALSE(PresetSettingFor(other).has_value()) << other;
  }
}

TEST(QualityPresetTest, PickerCommandsNameOnlyListedPhones) {
  EXPECT_EQ(PickedPhoneIndex(500, 2), 0U);
  EXPECT_EQ(PickedPhoneIndex(501, 2), 1U);
  EXPECT_FALSE(PickedPhoneIndex(502, 2).has_value());
  EXPECT_FALSE(PickedPhoneIndex(499, 2).has_value());
  EXPECT_FALSE(PickedPhoneIndex(500, 0).has_value());
}

}  // namespace
}  // namespace veyra

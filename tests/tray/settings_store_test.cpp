#include "tray/settings_store.h"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <string>

#include "tray/data_paths.h"
#include "tray/fake_settings_store.h"

namespace veyra {
namespace {

TEST(SettingsStoreTest, NumberMustBeTheWholeText) {
  struct Case {
    const wchar_t* text;
    std::int32_t expected;
  };
  constexpr std::int32_t kFallback = 60;
  const Case cases[] = {
      {L"30", 30},
      {L" 30", 30},  // leading white space is allowed
      {L"\t12000", 12000},
      {L"+20000", 20000},
      {L"-5", -5},
      {L"", kFallback},
      {L"30fps", kFallback},
      {L"30 ", kFallback},  // trailing white space is not
      {L"fps", kFallback},
      {L"-", kFallback},
      {L"0x1e", kFallback},
      {L"3.5", kFallback},
      {L"99999999999", std::numeric_limits<std::int32_t>::max()},
      {L"-99999999999", std::numeric_limits<std::int32_t>::min()},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IntFromSettingText(c.text, kFallback), c.expected) << '"' << c.text << '"';
  }
}

TEST(SettingsStoreTest, BufferTextEndsAtTheFirstNulOrTheBufferEnd) {
  std::array<wchar_t, kSettingBufferUnits> buffer{};
  EXPECT_EQ(SettingTextFromBuffer(buffer), L"");
  buffer[0] = L'a';
  buffer[1] = L'b';
  buffer[3] = L'c';
  EXPECT_EQ(SettingTextFromBuffer(buffer), L"ab");
  // A value stored without its terminator fills the buffer: all 256 units.
  buffer.fill(L'x');
  EXPECT_EQ(SettingTextFromBuffer(buffer), std::wstring(kSettingBufferUnits, L'x'));
}

TEST(SettingsStoreTest, OnlyExactlyOneMarksTheGuideShown) {
  EXPECT_TRUE(GuideAlreadyShown(L"1"));
  for (const wchar_t* text : {L"", L"yes", L"11", L" 1", L"1 ", L"true"}) {
    EXPECT_FALSE(GuideAlreadyShown(text)) << '"' << text << '"';
  }
}

TEST(SettingsStoreTest, ReadIntUsesTheStoredTextOrTheDefault) {
  FakeSettingsStore store;
  EXPECT_EQ(store.ReadInt(kFpsSetting, kDefaultFps), 60);
  EXPECT_EQ(store.ReadInt(kBitrateKbpsSetting, kDefaultBitrateKbps), 12000);
  store.Set(kFpsSetting, L" 30");
  EXPECT_EQ(store.ReadInt(kFpsSetting, kDefaultFps), 30);
  store.Set(kFpsSetting, L"30fps");
  EXPECT_EQ(store.ReadInt(kFpsSetting, kDefaultFps), 60);
}

TEST(DataPathsTest, EnvironmentValueMustBeSetAndFitTheBuffer) {
  EXPECT_FALSE(EnvironmentValueFits(0));
  EXPECT_TRUE(EnvironmentValueFits(1));
  EXPECT_TRUE(EnvironmentValueFits(kEnvironmentBufferUnits - 1));
  EXPECT_FALSE(EnvironmentValueFits(kEnvironmentBufferUnits));
  EXPECT_FALSE(EnvironmentValueFits(40000));
}

TEST(DataPathsTest, JoinsWithOneSeparator) {
  EXPECT_EQ(JoinPath(L"C:\\Users\\a\\AppData\\Local", L"Brenvik"),
            L"C:\\Users\\a\\AppData\\Local\\Brenvik");
  EXPECT_EQ(JoinPath(L"D:\\", L"Brenvik"), L"D:\\Brenvik");
}

TEST(DataPathsTest, FileBesideProgramKeepsTheProgramFolder) {
  EXPECT_EQ(PathBesideProgram(L"C:\\Program Files\\Veyra\\veyra-tray.exe", L"setup.html"),
            L"C:\\Program Files\\Veyra\\setup.html");
  EXPECT_EQ(PathBesideProgram(L"veyra-tray.exe", L"setup.html"), L"setup.html");
  EXPECT_EQ(PathBesideProgram(L"", L"veyra-host.exe"), L"veyra-host.exe");
}

}  // namespace
}  // namespace veyra

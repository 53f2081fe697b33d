#include "tray/registry_settings_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host/net/dns_sd_browser_win.h"
#include "tray/data_paths_win.h"

namespace veyra {
namespace {

const wchar_t* const kMakerKeyPath = L"Software\\Brenvik";

bool KeyExists(const wchar_t* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

// A key of its own per run, deleted before and after each test, so tests
// leave nothing behind and do not depend on their order.
class RegistrySettingsUnderWine : public ::testing::Test {
 protected:
  RegistrySettingsUnderWine()
      : keyPath_(L"Software\\Brenvik\\VeyraTest-" + std::to_wstring(GetCurrentProcessId())),
        store_(keyPath_) {}

  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, keyPath_.c_str()); }
  void TearDown() override {
    RegDeleteTreeW(HKEY_CURRENT_USER, keyPath_.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, kMakerKeyPath);  // only when nothing else is in it
  }

  void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, keyPath_.c_str(), name, type, data, bytes),
              ERROR_SUCCESS);
  }

  std::wstring keyPath_;
  RegistrySettingsStore store_;
};

TEST_F(RegistrySettingsUnderWine, FreshAccountReadsTheDefaults) {
  EXPECT_EQ(store_.ReadInt(kBitrateKbpsSetting, kDefaultBitrateKbps), 12000);
  EXPECT_EQ(store_.ReadInt(kFpsSetting, kDefaultFps), 60);
  EXPECT_EQ(store_.Read(kReceiverAddressSetting), L"");
  EXPECT_EQ(store_.Read(kReceiverNameSetting), L"");
  EXPECT_FALSE(GuideAlreadyShown(store_.Read(kSetupGuideShownSetting)));
  // Reading never creates the key.
  EXPECT_FALSE(KeyExists(keyPath_.c_str()));
}

TEST_F(RegistrySettingsUnderWine, OnlyTheTextOneMarksTheGuideShown) {
  struct Case {
    const wchar_t* text;
    bool shown;
  };
  for (const Case& c :
       {Case{L"yes", false}, Case{L"11", false}, Case{L"", false}, Case{L"1", true}}) {
    ASSERT_EQ(store_.Write(kSetupGuideShownSetting, c.text), ERROR_SUCCESS);
    EXPECT_EQ(GuideAlreadyShown(store_.Read(kSetupGuideShownSetting)), c.shown)
        << '"' << c.text << '"';
  }
}

TEST_F(RegistrySettingsUnderWine, EmptyTextIsStoredAsAPresentValue) {
  ASSERT_EQ(store_.Write(kReceiverNameSetting, L""), ERROR_SUCCESS);
  DWORD type = 0;
  DWORD bytes = 0;
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, keyPath_.c_str(), kReceiverNameSetting,
                         RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(bytes, 2u);  // the terminator alone
}

TEST_F(RegistrySettingsUnderWine, TextRoundTripsInAnyScript) {
  const std::wstring name = L"\uAC70\uC2E4 \uD3F0 (Pixel 7)";
  ASSERT_EQ(store_.Write(kReceiverNameSetting, name), ERROR_SUCCESS);
  EXPECT_EQ(store_.Read(kReceiverNameSetting), name);
}

TEST_F(RegistrySettingsUnderWine, DwordFpsReadsAsAbsent) {
  const DWORD thirty = 30;
  SetRaw(kFpsSetting, REG_DWORD, &thirty, sizeof(thirty));
  EXPECT_EQ(store_.Read(kFpsSetting), L"");
  EXPECT_EQ(store_.ReadInt(kFpsSetting, kDefaultFps), 60);
}

TEST_F(RegistrySettingsUnderWine, FpsTextMustBeOneWholeNumber) {
  ASSERT_EQ(store_.Write(kFpsSetting, L" 30"), ERROR_SUCCESS);
  EXPECT_EQ(store_.ReadInt(kFpsSetting, kDefaultFps), 30);
  ASSERT_EQ(store_.Write(kFpsSetting, L"30fps"), ERROR_SUCCESS);
  EXPECT_EQ(store_.ReadInt(kFpsSetting, kDefaultFps), 60);
}

TEST_F(RegistrySettingsUnderWine, ValueLongerThan255CharactersReadsEmpty) {
  const std::wstring fits(255, L'7');
  ASSERT_EQ(store_.Write(kReceiverAddressSetting, fits), ERROR_SUCCESS);
  EXPECT_EQ(store_.Read(kReceiverAddressSetting), fits);
  ASSERT_EQ(store_.Write(kReceiverAddressSetting, std::wstring(256, L'7')), ERROR_SUCCESS);
  EXPECT_EQ(store_.Read(kReceiverAddressSetting), L"");
}

TEST_F(RegistrySettingsUnderWine, UnterminatedValueFillingTheBufferIsNeverOverread) {
  const std::wstring full(kSettingBufferUnits, L'x');
  SetRaw(kReceiverAddressSetting, REG_SZ, full.data(),
         static_cast<DWORD>(full.size() * sizeof(wchar_t)));
  // Windows hands over the 512 bytes as stored; Wine wants room for a
  // terminator and reports the value as too long. Either way the text
  // stops at the buffer.
  const std::wstring read = store_.Read(kReceiverAddressSetting);
  EXPECT_TRUE(read.empty() || read == full) << read.size();
}

TEST_F(RegistrySettingsUnderWine, ExpandableTextReadsAsAbsent) {
  const wchar_t text[] = L"%LOCALAPPDATA%";
  SetRaw(kReceiverAddressSetting, REG_EXPAND_SZ, text, sizeof(text));
  EXPECT_EQ(store_.Read(kReceiverAddressSetting), L"");
}

TEST_F(RegistrySettingsUnderWine, EveryTypeButTextReadsAsAbsent) {
  const wchar_t address[] = L"192.168.1.20";
  const wchar_t list[] = L"192.168.1.20\0other\0";
  const DWORD dword = 30;
  const ULONGLONG qword = 30;
  struct Case {
    DWORD type;
    const void* data;
    DWORD bytes;
  };
  for (const Case& c :
       {Case{REG_BINARY, address, sizeof(address)}, Case{REG_MULTI_SZ, list, sizeof(list)},
        Case{REG_NONE, address, sizeof(address)}, Case{REG_DWORD, &dword, sizeof(dword)},
        Case{REG_QWORD, &qword, sizeof(qword)}}) {
    SetRaw(kReceiverAddressSetting, c.type, c.data, c.bytes);
    EXPECT_EQ(store_.Read(kReceiverAddressSetting), L"") << "type " << c.type;
    SetRaw(kFpsSetting, c.type, c.data, c.bytes);
    EXPECT_EQ(store_.ReadInt(kFpsSetting, kDefaultFps), 60) << "type " << c.type;
  }
}

TEST_F(RegistrySettingsUnderWine, TextReadsUpToItsTerminatorOrItsStoredBytes) {
  // No bytes at all, not even a terminator.
  SetRaw(kReceiverAddressSetting, REG_SZ, nullptr, 0);
  EXPECT_EQ(store_.Read(kReceiverAddressSetting), L"");
  // Without a terminator: the zeroed buffer ends it.
  const std::wstring address = L"192.168.1.20";
  SetRaw(kReceiverAddressSetting, REG_SZ, address.data(),
         static_cast<DWORD>(address.size() * sizeof(wchar_t)));
  EXPECT_EQ(store_.Read(kReceiverAddressSetting), address);
  // Bytes after the terminator are not part of the text.
  const wchar_t trailing[] = L"192.168.1.20\0junk";
  SetRaw(kReceiverAddressSetting, REG_SZ, trailing, sizeof(trailing));
  EXPECT_EQ(store_.Read(kReceiverAddressSetting), address);
  // An odd byte count leaves half a unit, which is read as one unit at most.
  const char odd[] = {'3', 0, '0', 0, 'x'};
  SetRaw(kFpsSetting, REG_SZ, odd, sizeof(odd));
  const std::wstring read = store_.Read(kFpsSetting);
  EXPECT_EQ(read.substr(0, 2), L"30");
  EXPECT_LE(read.size(), 3u);
}

// The free functions work on the tray's own key; only in Wine's private
// prefix, and the value is removed again.
TEST(TraySettingsKeyUnderWine, FreeFunctionsUseTheTraysKey) {
  if (!RunningUnderWine()) {
    GTEST_SKIP() << "would touch this user's real settings";
  }
  const wchar_t* const kProbe = L"VeyraTestProbe";
  const bool keyExisted = KeyExists(kSettingsKeyPath);
  ASSERT_EQ(WriteSetting(kProbe, L"42"), ERROR_SUCCESS);
  EXPECT_EQ(ReadSetting(kProbe), L"42");
  EXPECT_EQ(ReadIntSetting(kProbe, 7), 42);
  EXPECT_EQ(RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKeyPath, kProbe), ERROR_SUCCESS);
  EXPECT_EQ(ReadIntSetting(kProbe, 7), 7);
  if (!keyExisted) {
    RegDeleteKeyW(HKEY_CURRENT_USER, kSettingsKeyPath);
    RegDeleteKeyW(HKEY_CURRENT_USER, kMakerKeyPath);  // only when nothing else is in it
  }
}

// Sets LOCALAPPDATA for one test and puts the old value back.
class LocalAppDataOverride {
 public:
  explicit LocalAppDataOverride(const wchar_t* value) {
    std::vector<wchar_t> buffer(32768);
    const DWORD length =
        GetEnvironmentVariableW(L"LOCALAPPDATA", buffer.data(), static_cast<DWORD>(buffer.size()));
    hadValue_ = length > 0 && length < buffer.size();
    old_.assign(buffer.data(), hadValue_ ? length : 0);
    SetEnvironmentVariableW(L"LOCALAPPDATA", value);
  }
  ~LocalAppDataOverride() {
    SetEnvironmentVariableW(L"LOCALAPPDATA", hadValue_ ? old_.c_str() : nullptr);
  }
  LocalAppDataOverride(const LocalAppDataOverride&) = delete;
  LocalAppDataOverride& operator=(const LocalAppDataOverride&) = delete;

 private:
  bool hadValue_ = false;
  std::wstring old_;
};

std::filesystem::path ScratchFolder() {
  return std::filesystem::temp_directory_path() /
         (L"veyra-appdata-" + std::to_wstring(GetCurrentProcessId()));
}

TEST(AppDataFolderUnderWine, CreatesTheFolderUnderLocalAppData) {
  const std::filesystem::path base = ScratchFolder();
  std::filesystem::create_directories(base);
  {
    LocalAppDataOverride local(base.c_str());
    const std::wstring folder = AppDataFolder();
    EXPECT_EQ(folder, (base / L"Brenvik" / L"Veyra").wstring());
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    // Present already: the same path again.
    EXPECT_EQ(AppDataFolder(), folder);
  }
  std::filesystem::remove_all(base);
}

TEST(AppDataFolderUnderWine, IsEmptyWithoutAUsableLocalAppData) {
  {
    LocalAppDataOverride unset(nullptr);
    EXPECT_EQ(AppDataFolder(), L"");
  }
  {
    // The parent does not exist, so no folder can be made below it.
    const std::filesystem::path missing = ScratchFolder() / L"missing" / L"deeper";
    LocalAppDataOverride nowhere(missing.c_str());
    EXPECT_EQ(AppDataFolder(), L"");
    EXPECT_FALSE(std::filesystem::exists(ScratchFolder()));
  }
  {
    const std::wstring tooLong = L"C:\\" + std::wstring(5000, L'a');
    LocalAppDataOverride longValue(tooLong.c_str());
    EXPECT_EQ(AppDataFolder(), L"");
  }
}

TEST(FileBesideProgramUnderWine, NamesAFileInTheProgramsFolder) {
  wchar_t program[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameW(nullptr, program, MAX_PATH), 0u);
  const std::filesystem::path expected =
      std::filesystem::path(program).parent_path() / L"setup.html";
  EXPECT_EQ(FileBesideProgram(L"setup.html"), expected.wstring());
}

}  // namespace
}  // namespace veyra

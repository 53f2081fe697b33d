#include "tray/sign_in_startup_win.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "tray/sign_in_startup.h"

namespace veyra {
namespace {

std::optional<std::wstring> ReadRunValue() {
  std::array<wchar_t, 600> buffer{};
  DWORD size = sizeof(buffer);
  DWORD type = 0;
  if (RegGetValueW(HKEY_CURRENT_USER, kRunKeyPath, kRunValueName, RRF_RT_REG_SZ, &type,
                   buffer.data(), &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::wstring(buffer.data());
}

void WriteRunValue(const void* data, DWORD bytes, DWORD type = REG_SZ) {
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kRunKeyPath, kRunValueName, type, data, bytes),
            ERROR_SUCCESS);
}

void WriteRunText(const std::wstring& text) {
  WriteRunValue(text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

std::wstring ThisProgram() {
  std::array<wchar_t, MAX_PATH> path{};
  return {path.data(), GetModuleFileNameW(nullptr, path.data(), MAX_PATH)};
}

// The prefix's Run value belongs to whoever ran last; each test starts
// without it and puts back what was there.
class RunKeyUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = ReadRunValue();
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKeyPath, kRunValueName);
  }
  void TearDown() override {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKeyPath, kRunValueName);
    if (saved_) {
      WriteRunText(*saved_);
    }
  }

 private:
  std::optional<std::wstring> saved_;
};

TEST_F(RunKeyUnderWine, EnableWritesTheQuotedPathAndDisableSucceedsTwice) {
  ASSERT_TRUE(SetRunValueEnabled(true));
  EXPECT_EQ(ReadRunValue(), L"\"" + ThisProgram() + L"\"");
  EXPECT_TRUE(SetRunValueEnabled(false));
  EXPECT_EQ(ReadRunValue(), std::nullopt);
  EXPECT_TRUE(SetRunValueEnabled(false));
  EXPECT_FALSE(IsRunValueEnabled());
}

TEST_F(RunKeyUnderWine, ReadsTheTrayInEitherCaseAndNotAnotherProgram) {
  WriteRunText(L"\"C:\\Program Files\\Veyra\\veyra-tray.exe\"");
  EXPECT_TRUE(IsRunValueEnabled());
  WriteRunText(L"\"C:\\Program Files\\Veyra\\Veyra-Tray.exe\"");
  EXPECT_TRUE(IsRunValueEnabled());
  WriteRunText(L"\"C:\\Tools\\other.exe\"");
  EXPECT_FALSE(IsRunValueEnabled());
  // The name as text of another type does not count.
  const std::wstring expanded = L"\"%ProgramFiles%\\Veyra\\veyra-tray.exe\"";
  WriteRunValue(expanded.c_str(), static_cast<DWORD>((expanded.size() + 1) * 2), REG_EXPAND_SZ);
  EXPECT_FALSE(IsRunValueEnabled());
}

TEST_F(RunKeyUnderWine, AnUnterminatedValueThatFillsTheBufferIsReadWithinItsLength) {
  // 1040 bytes of another program's path and no terminator: exactly the
  // read buffer, with nothing after it to stop a search.
  std::vector<wchar_t> value(kRunValueBufferBytes / 2, L'a');
  WriteRunValue(value.data(), static_cast<DWORD>(kRunValueBufferBytes));
  EXPECT_FALSE(IsRunValueEnabled());
  // Shorter and unterminated, ending in the tray's name: counts. (A value
  // filling the buffer exactly is refused by Wine for want of room for a
  // terminator, while Windows hands it over as it is; the search within
  // the returned length covers both, see the portable tests.)
  const std::wstring name = L"Veyra-Tray";
  value.pop_back();
  std::copy(name.begin(), name.end(), value.end() - static_cast<std::ptrdiff_t>(name.size()));
  WriteRunValue(value.data(), static_cast<DWORD>(value.size() * 2));
  EXPECT_TRUE(IsRunValueEnabled());
  // Longer than the buffer: unreadable, so off.
  value.resize(kRunValueBufferBytes / 2 + 1, L'a');
  WriteRunValue(value.data(), static_cast<DWORD>(value.size() * 2));
  EXPECT_FALSE(IsRunValueEnabled());
}

TEST(SignInStartupUnderWine, APlainProgramIsNotPackaged) {
  EXPECT_FALSE(IsPackaged());
  EXPECT_FALSE(IsPackaged());
}

}  // namespace
}  // namespace veyra

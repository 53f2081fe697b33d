#include "tray/localized_text.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace veyra {
namespace {

// The '%' conversions of a text, in order ("%s", ...).
std::vector<std::wstring> Conversions(const std::wstring& text) {
  std::vector<std::wstring> found;
  for (std::size_t at = text.find(L'%'); at != std::wstring::npos; at = text.find(L'%', at + 2)) {
    found.push_back(text.substr(at, 2));
  }
  return found;
}

bool HasHangul(const std::wstring& text) {
  for (wchar_t c : text) {
    if (c >= 0xAC00 && c <= 0xD7A3) {
      return true;
    }
  }
  return false;
}

TEST(LocalizedTextTest, EveryRoleHasBothLanguagesWithTheSamePlaceholders) {
  const auto table = TextTable();
  ASSERT_EQ(table.size(), kTextRoleCount);
  for (std::size_t i = 0; i < table.size(); ++i) {
    const LocalizedText& entry = table[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(static_cast<std::size_t>(entry.role), i);
    ASSERT_NE(entry.english, nullptr);
    ASSERT_NE(entry.korean, nullptr);
    const std::wstring english = entry.english;
    const std::wstring korean = entry.korean;
    EXPECT_FALSE(english.empty());
    EXPECT_NE(english, korean);
    // Korean texts reached the program as Hangul, not as mis-decoded bytes.
    EXPECT_TRUE(HasHangul(korean));
    EXPECT_EQ(Conversions(english), Conversions(korean));
    for (const std::wstring& conversion : Conversions(english)) {
      EXPECT_EQ(conversion, L"%s");
    }
  }
}

TEST(LocalizedTextTest, KeepsTheExactTexts) {
  EXPECT_STREQ(TextFor(TextRole::MenuConnectTo, false), L"Connect to %s");
  EXPECT_STREQ(TextFor(TextRole::MenuConnectTo, true), L"%s\uC5D0 \uC5F0\uACB0");
  EXPECT_STREQ(TextFor(TextRole::MenuExit, true), L"\uC885\uB8CC");
  const std::wstring noPhone = TextFor(TextRole::NoPhoneFound, false);
  EXPECT_NE(noPhone.find(L"network.\n\nOpen Veyra"), std::wstring::npos);
  EXPECT_NE(noPhone.find(L"use \"Enter the address by hand\" with"), std::wstring::npos);
  EXPECT_STREQ(kMessageCaption, L"Veyra");
}

TEST(LocalizedTextTest, PlaceholderTakesTheSameValueInBothLanguages) {
  const std::wstring name = L"Living room 100% phone";
  EXPECT_EQ(FillPlaceholder(TextFor(TextRole::MenuConnectTo, false), name),
            L"Connect to Living room 100% phone");
  EXPECT_EQ(FillPlaceholder(TextFor(TextRole::MenuConnectTo, true), name),
            L"Living room 100% phone\uC5D0 \uC5F0\uACB0");
  EXPECT_EQ(FillPlaceholder(TextFor(TextRole::MenuExit, false), name), L"Exit");
}

TEST(LocalizedTextTest, OnlyKoreanAsPrimaryLanguageChoosesKorean) {
  struct Case {
    std::uint16_t languageId;
    bool korean;
  };
  const Case cases[] = {
      {0x0412, true},   // Korean (Korea)
      {0x0012, true},   // Korean, neutral
      {0x0411, false},  // Japanese
      {0x0407, false},  // German
      {0x0409, false},  // English (United States)
      {0x0804, false},  // Chinese (PRC)
      {0x0000, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsKoreanLanguage(c.languageId), c.korean) << std::hex << c.languageId;
  }
}

TEST(LocalizedTextTest, LanguageIsReadOnceForAllThreads) {
  std::atomic<int> reads{0};
  LanguageChoice choice([&] {
    ++reads;
    return static_cast<std::uint16_t>(0x0412);
  });
  std::atomic<int> korean{0};
  std::vector<std::thread> threads(8);
  for (std::thread& thread : threads) {
    thread = std::thread([&] { korean += choice.IsKorean() ? 1 : 0; });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(reads.load(), 1);
  EXPECT_EQ(korean.load(), 8);
}

#if !defined(_WIN32)
TEST(LocalizedTextTest, NativeBuildSpeaksEnglish) {
  EXPECT_FALSE(IsKorean());
  EXPECT_STREQ(Text(TextRole::MenuExit), L"Exit");
  EXPECT_EQ(TextWith(TextRole::MenuDisconnectFrom, L"192.168.1.20"),
            L"Disconnect from 192.168.1.20");
}
#endif

}  // namespace
}  // namespace veyra

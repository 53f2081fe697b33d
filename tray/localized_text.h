#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "host/base/ui_language.h"

namespace veyra {

// Every text the tray shows, named by the place it is shown. Texts are
// looked up by role only, never by position.
enum class TextRole {
  TooltipReady,
  TooltipShowingOnPhone,
  TooltipShowingOnNamed,
  MenuGuide,
  MenuLookingForPhone,
  MenuConnectFind,
  MenuConnectTo,
  MenuDisconnect,
  MenuDisconnectFrom,
  MenuEnterAddress,
  MenuPictureQuality,
  MenuDataSaver,
  MenuStandard,
  MenuSharper,
  MenuSmoothMotion,
  MenuBatterySaver,
  MenuAppliesNext,
  MenuForgetPhones,
  MenuStartAtSignIn,
  MenuExit,
  DialogTitle,
  DialogPrompt,
  DialogConnect,
  DialogCancel,
  AskForgetPhones,
  ForgetDone,
  ForgetFailed,
  NoPhoneFound,
  HostStartFailed,
  AddressRefused,
  StartupChangeFailed,
  GuideMissing,
  TooltipWaitingForBrowser,
  MenuConnectBrowser,
  MenuShowBrowserCode,
};

inline constexpr std::size_t kTextRoleCount =
    static_cast<std::size_t>(TextRole::MenuShowBrowserCode) + 1;

// One role in both languages. Both are UTF-16 on Windows; "%s" marks where
// wide-string formatting puts its argument, at different places per language.
struct LocalizedText {
  TextRole role;
  const wchar_t* english;
  const wchar_t* korean;
};

// The whole table, one entry per role, in the order of TextRole.
std::span<const LocalizedText> TextTable();

// Message box captions are the product name in every language.
inline constexpr const wchar_t* kMessageCaption = L"Veyra";

const wchar_t* TextFor(TextRole role, bool korean);

// The text with its "%s" replaced by value (texts hold at most one). Unlike
// wide printf, whose %s means a narrow string in C99 mode, this cannot
// misread its argument, and a '%' inside value stays text.
std::wstring FillPlaceholder(std::wstring_view text, std::wstring_view value);

// Asks for the user's display language once and keeps the answer for the
// life of the object, so that a change of language mid-run does not mix the
// two. IsKorean may be called from any thread.
class LanguageChoice {
 public:
  explicit LanguageChoice(std::function<std::uint16_t()> readUiLanguage);

  bool IsKorean();

 private:
  std::function<std::uint16_t()> readUiLanguage_;
  std::once_flag once_;
  bool korean_ = false;
};

// The process-wide choice, read on first use.
bool IsKorean();

// The role's text in the language of this run.
const wchar_t* Text(TextRole role);

// The same, with its placeholder filled.
std::wstring TextWith(TextRole role, std::wstring_view value);

}  // namespace veyra

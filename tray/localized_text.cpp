#include "tray/localized_text.h"

#include <array>
#include <utility>

namespace veyra {
namespace {

// Kept in TextRole order; the static_assert below and a test that walks the
// table check it.
constexpr std::array<LocalizedText, kTextRoleCount> kTable = {{
    {TextRole::TooltipReady, L"Veyra - ready to connect", L"Veyra - 연결 준비됨"},
    {TextRole::TooltipShowingOnPhone, L"Veyra - showing this PC on your phone",
     L"Veyra - 휴대폰에 PC 화면 표시 중"},
    {TextRole::TooltipShowingOnNamed, L"Veyra - showing this PC on %s",
     L"Veyra - %s에 PC 화면 표시 중"},
    {TextRole::MenuGuide, L"Connection guide and status...", L"연결 안내 및 현재 상태..."},
    {TextRole::MenuLookingForPhone, L"Looking for your phone...", L"폰을 찾는 중..."},
    {TextRole::MenuConnectFind, L"Connect (find my phone)", L"연결 (폰 찾기)"},
    {TextRole::MenuConnectTo, L"Connect to %s", L"%s에 연결"},
    {TextRole::MenuDisconnect, L"Disconnect", L"연결 끊기"},
    {TextRole::MenuDisconnectFrom, L"Disconnect from %s", L"%s 연결 끊기"},
    {TextRole::MenuEnterAddress, L"Enter the address by hand...", L"주소 직접 입력..."},
    {TextRole::MenuPictureQuality, L"Picture quality", L"화질"},
    {TextRole::MenuDataSaver, L"Data saver (6 Mbps)", L"데이터 절약 (6 Mbps)"},
    {TextRole::MenuStandard, L"Standard (12 Mbps)", L"표준 (12 Mbps)"},
    {TextRole::MenuSharper, L"Sharper (20 Mbps)", L"고화질 (20 Mbps)"},
    {TextRole::MenuSmoothMotion, L"Smooth motion (60 fps)", L"부드러운 움직임 (60 fps)"},
    {TextRole::MenuBatterySaver, L"Battery saver (30 fps)", L"배터리 절약 (30 fps)"},
    {TextRole::MenuAppliesNext, L"Applies from the next connection", L"다음 연결부터 적용"},
    {TextRole::MenuForgetPhones, L"Forget approved phones...", L"승인된 기기 기록 지우기..."},
    {TextRole::MenuStartAtSignIn, L"Open this menu automatically when I sign in",
     L"로그인할 때 자동으로 실행"},
    {TextRole::MenuExit, L"Exit", L"종료"},
    {TextRole::DialogTitle, L"Veyra - connect", L"Veyra - 연결"},
    {TextRole::DialogPrompt, L"Address shown on the phone's waiting screen:",
     L"폰 대기 화면에 표시된 주소:"},
    {TextRole::DialogConnect, L"Connect", L"연결"},
    {TextRole::DialogCancel, L"Cancel", L"취소"},
    {TextRole::AskForgetPhones,
     L"Forget every phone this computer has been allowed to connect to?\n\nEach one will ask you "
     L"to allow this computer again the next time it connects. Do this if you reinstalled Veyra on "
     L"the phone - the app gets a new identity when you do, and this computer no longer recognises "
     L"it.",
     L"이 컴퓨터가 연결을 허용받은 기기 기록을 모두 지울까요?\n\n다음 연결 때 각 기기에서 이 "
     L"컴퓨터를 다시 허용해야 합니다. 휴대폰에서 Veyra를 재설치했다면 이걸 쓰세요 - 재설치하면 "
     L"앱의 신원이 새로 만들어져 이 컴퓨터가 알아보지 못합니다."},
    {TextRole::ForgetDone,
     L"Done. Connect again: this computer asks whether to allow the phone and shows a code. Allow "
     L"it here and on the phone only if the phone shows the same code.",
     L"지웠습니다. 다시 연결하면 이 컴퓨터가 휴대폰을 허용할지 묻고 코드를 보여줍니다. 휴대폰에 "
     L"같은 코드가 보일 때만 이 컴퓨터와 휴대폰 양쪽에서 허용하세요."},
    {TextRole::ForgetFailed, L"Could not clear the approvals.", L"승인 기록을 지우지 못했습니다."},
    {TextRole::NoPhoneFound,
     L"No phone found on this network.\n\nOpen Veyra on the phone and make sure both are on the "
     L"same Wi-Fi. If your network blocks device discovery, use \"Enter the address by hand\" with "
     L"the address the phone shows.",
     L"이 네트워크에서 폰을 찾지 못했습니다.\n\n폰에서 Veyra를 실행하고, 두 기기가 같은 Wi-Fi에 "
     L"연결되어 있는지 확인하세요. 네트워크가 기기 검색을 차단한다면 \"주소 직접 입력\"으로 폰에 "
     L"표시된 주소를 넣으세요."},
    {TextRole::HostStartFailed,
     L"Could not start veyra-host.exe.\nIt should sit in the same folder as this program.",
     L"veyra-host.exe를 실행하지 못했습니다.\n이 프로그램과 같은 폴더에 있어야 합니다."},
    {TextRole::AddressRefused,
     L"That address cannot be used.\n\nType the address shown on the phone's waiting screen, such "
     L"as 192.168.1.23: an IP address or a device name, without spaces.",
     L"이 주소는 사용할 수 없습니다.\n\n폰 대기 화면에 표시된 주소(예: 192.168.1.23)를 "
     L"입력하세요. IP 주소나 기기 이름만 쓸 수 있고 공백은 넣을 수 없습니다."},
    {TextRole::StartupChangeFailed, L"Could not change the startup setting.",
     L"자동 시작 설정을 바꾸지 못했습니다."},
    {TextRole::GuideMissing, L"The local connection guide is missing. Reinstall or repair Veyra.",
     L"로컬 연결 안내 파일이 없습니다. Veyra를 다시 설치하거나 복구해 주세요."},
    {TextRole::TooltipWaitingForBrowser, L"Veyra - waiting for the phone's browser",
     L"Veyra - 휴대폰 브라우저 연결 대기 중"},
    {TextRole::MenuConnectBrowser, L"Connect a phone's browser (show a code)...",
     L"휴대폰 브라우저로 연결 (코드 표시)..."},
    {TextRole::MenuShowBrowserCode, L"Show the code for the phone's browser...",
     L"휴대폰 브라우저용 코드 보기..."},
}};

constexpr bool TableFollowsRoleOrder() {
  for (std::size_t i = 0; i < kTable.size(); ++i) {
    if (static_cast<std::size_t>(kTable[i].role) != i) {
      return false;
    }
  }
  return true;
}
static_assert(TableFollowsRoleOrder(), "text table out of role order");

}  // namespace

std::span<const LocalizedText> TextTable() { return kTable; }

const wchar_t* TextFor(TextRole role, bool korean) {
  const LocalizedText& entry = kTable[static_cast<std::size_t>(role)];
  return korean ? entry.korean : entry.english;
}

std::wstring FillPlaceholder(std::wstring_view text, std::wstring_view value) {
  std::wstring filled(text);
  const std::size_t at = filled.find(L"%s");
  if (at != std::wstring::npos) {
    filled.replace(at, 2, value);
  }
  return filled;
}

LanguageChoice::LanguageChoice(std::function<std::uint16_t()> readUiLanguage)
    : readUiLanguage_(std::move(readUiLanguage)) {}

bool LanguageChoice::IsKorean() {
  std::call_once(once_, [this] { korean_ = IsKoreanLanguage(readUiLanguage_()); });
  return korean_;
}

bool IsKorean() {
  static LanguageChoice choice(UserUiLanguage);
  return choice.IsKorean();
}

const wchar_t* Text(TextRole role) { return TextFor(role, IsKorean()); }

std::wstring TextWith(TextRole role, std::wstring_view value) {
  return FillPlaceholder(Text(role), value);
}

}  // namespace veyra

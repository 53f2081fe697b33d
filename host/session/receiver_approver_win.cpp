// On Windows the question is a standard message box, topmost and brought
// to the front, with No as the default button. The host runs without a
// console window, so the box is the only thing of it the user sees.

#include <windows.h>

#include <atomic>

#include "host/base/ui_language.h"
#include "host/base/utf_conversion.h"
#include "host/session/receiver_approver.h"

namespace veyra {
namespace {

BOOL CALLBACK PressNoInBox(HWND window, LPARAM /*unused*/) {
  wchar_t className[16] = {};
  // "#32770" is the class of dialog boxes, message boxes among them.
  if (GetClassNameW(window, className, 16) > 0 && lstrcmpW(className, L"#32770") == 0) {
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, IDNO)));
  }
  return TRUE;
}

class MessageBoxApprover final : public ReceiverApprover {
 public:
  ApprovalAnswer Ask(const ApprovalQuestion& question) override {
    thread_ = GetCurrentThreadId();
    const std::wstring text =
        WideFromUtf8(ApprovalText(question, IsKoreanLanguage(UserUiLanguage())));
    const int pressed =
        MessageBoxW(nullptr, text.c_str(), L"Veyra",
                    MB_YESNO | MB_DEFBUTTON2 | MB_ICONWARNING | MB_TOPMOST | MB_SETFOREGROUND);
    thread_ = 0;
    return pressed == IDYES ? ApprovalAnswer::kYes : ApprovalAnswer::kNo;
  }

  // The box belongs to the asking thread; pressing its No button ends
  // MessageBoxW as if the user had.
  void Cancel() override {
    const DWORD thread = thread_.load();
    if (thread != 0) {
      EnumThreadWindows(thread, PressNoInBox, 0);
    }
  }

 private:
  std::atomic<DWORD> thread_{0};
};

}  // namespace

std::unique_ptr<ReceiverApprover> CreateSystemApprover() {
  return std::make_unique<MessageBoxApprover>();
}

}  // namespace veyra

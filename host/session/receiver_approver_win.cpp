// On Windows the question is a standard message box, topmost and brought
// to the front, with No as the default button. The host runs without a
// console window, so the box is the only thing of it the user sees.
//
// Its Yes button starts disabled and is enabled a second after the box
// appears: a click or a Y key press meant for an earlier box in the same
// place cannot answer this one. The box is found through a
// WH_CALLWNDPROCRET hook of the asking thread when its WM_INITDIALOG has
// been handled: its buttons exist then and it is not visible yet, so there
// is no moment at which Yes could be pressed (see "CallWndRetProc" and
// "WM_INITDIALOG" on Microsoft Learn). Activation would come too late: a
// box is visible before it is activated, and may not be activated at all
// when another program has the foreground. The button is enabled by a
// timer that the box's own modal loop dispatches.

#include <windows.h>

#include <atomic>

#include "host/base/ui_language.h"
#include "host/base/utf_conversion.h"
#include "host/session/receiver_approver.h"

namespace veyra {
namespace {

constexpr UINT_PTR kEnableYesTimer = 0x5659;

BOOL CALLBACK PressNoInBox(HWND window, LPARAM /*unused*/) {
  wchar_t className[16] = {};
  // "#32770" is the class of dialog boxes, message boxes among them.
  if (GetClassNameW(window, className, 16) > 0 && lstrcmpW(className, L"#32770") == 0) {
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDNO, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, IDNO)));
  }
  return TRUE;
}

void CALLBACK EnableYes(HWND box, UINT /*message*/, UINT_PTR timer, DWORD /*time*/) {
  KillTimer(box, timer);
  if (HWND yes = GetDlgItem(box, IDYES); yes != nullptr) {
    EnableWindow(yes, TRUE);
  }
}

// The asking thread's hook; one box per thread at a time.
thread_local HHOOK tHook = nullptr;

LRESULT CALLBACK HoldYesBack(int code, WPARAM wParam, LPARAM lParam) {
  const HHOOK hook = tHook;
  if (code == HC_ACTION && hook != nullptr) {
    const auto* handled = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    wchar_t className[16] = {};
    if (handled->message == WM_INITDIALOG && GetClassNameW(handled->hwnd, className, 16) > 0 &&
        lstrcmpW(className, L"#32770") == 0) {
      if (HWND yes = GetDlgItem(handled->hwnd, IDYES); yes != nullptr) {
        EnableWindow(yes, FALSE);
        SetTimer(handled->hwnd, kEnableYesTimer, static_cast<UINT>(kAnswerHoldOff.count()),
                 EnableYes);
      }
      // One box per question.
      UnhookWindowsHookEx(hook);
      tHook = nullptr;
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

class MessageBoxApprover final : public ReceiverApprover {
 public:
  ApprovalAnswer Ask(const ApprovalQuestion& question) override {
    thread_ = GetCurrentThreadId();
    const std::wstring text =
        WideFromUtf8(ApprovalText(question, IsKoreanLanguage(UserUiLanguage())));
    tHook = SetWindowsHookExW(WH_CALLWNDPROCRET, HoldYesBack, nullptr, GetCurrentThreadId());
    const int pressed =
        MessageBoxW(nullptr, text.c_str(), L"Veyra",
                    MB_YESNO | MB_DEFBUTTON2 | MB_ICONWARNING | MB_TOPMOST | MB_SETFOREGROUND);
    if (tHook != nullptr) {
      UnhookWindowsHookEx(tHook);
      tHook = nullptr;
    }
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

#include "tray/address_dialog_win.h"

#include <array>

#include "tray/localized_text.h"
#include "tray/resource_ids.h"

namespace veyra {
namespace {

constexpr int kEditBufferUnits = 256;

INT_PTR CALLBACK AddressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      const auto* text = reinterpret_cast<const std::wstring*>(lParam);
      SetWindowTextW(dialog, Text(TextRole::DialogTitle));
      SetDlgItemTextW(dialog, IDC_ADDRESS_LABEL, Text(TextRole::DialogPrompt));
      SetDlgItemTextW(dialog, IDOK, Text(TextRole::DialogConnect));
      SetDlgItemTextW(dialog, IDCANCEL, Text(TextRole::DialogCancel));
      SetDlgItemTextW(dialog, IDC_ADDRESS, text->c_str());
      SendDlgItemMessageW(dialog, IDC_ADDRESS, EM_SETSEL, 0, -1);
      SetFocus(GetDlgItem(dialog, IDC_ADDRESS));
      return FALSE;  // the focus was set by hand
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK: {
          auto* text = reinterpret_cast<std::wstring*>(GetWindowLongPtrW(dialog, DWLP_USER));
          std::array<wchar_t, kEditBufferUnits> buffer{};
          const UINT length =
              GetDlgItemTextW(dialog, IDC_ADDRESS, buffer.data(), static_cast<int>(buffer.size()));
          text->assign(buffer.data(), length);
          EndDialog(dialog, IDOK);
          return TRUE;
        }
        case IDCANCEL:
          EndDialog(dialog, IDCANCEL);
          return TRUE;
        default:
          return FALSE;
      }
    default:
      return FALSE;
  }
}

}  // namespace

std::optional<std::wstring> AskAddress(HINSTANCE instance, HWND owner,
                                       const std::wstring& current) {
  std::wstring text = current;
  const INT_PTR result = DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_CONNECT), owner,
                                         AddressDialogProc, reinterpret_cast<LPARAM>(&text));
  if (result != IDOK) {
    return std::nullopt;
  }
  return text;
}

}  // namespace veyra

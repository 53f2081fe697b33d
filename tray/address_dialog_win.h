#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace veyra {

// The IDD_CONNECT dialog, modal to the owner, with its texts in the user's
// language and the current address selected. The typed text (at most 255
// characters) after Connect or Enter; nothing after Cancel, Escape or the
// close box.
std::optional<std::wstring> AskAddress(HINSTANCE instance, HWND owner, const std::wstring& current);

}  // namespace veyra

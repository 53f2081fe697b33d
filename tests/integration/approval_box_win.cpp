// Plays this PC's user for the host's approval box in tests under Wine:
// waits up to <wait_ms> for a top-level dialog of veyra-host.exe captioned
// "Veyra", prints its text (UTF-8) and presses the button named by
// <yes|no> (Yes once the box enables it), or none for "read".
// Exit code 0 when a box was found, 1 when none came.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "tests/host/support/window_program_win.h"

namespace {

BOOL CALLBACK AppendStaticText(HWND child, LPARAM into) {
  wchar_t className[16] = {};
  if (GetClassNameW(child, className, 16) > 0 && lstrcmpiW(className, L"Static") == 0) {
    wchar_t text[2048] = {};
    GetWindowTextW(child, text, 2048);
    *reinterpret_cast<std::wstring*>(into) += text;
  }
  return TRUE;
}

void PrintUtf8(const std::wstring& text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), bytes,
                      nullptr, nullptr);
  out += '\n';
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written,
            nullptr);
}

// Only the host's box: the tray's own boxes share the class and caption.
bool OwnedByHost(HWND window) {
  return veyra::testing_support::WindowOfProgram(window, L"veyra-host.exe");
}

HWND FindHostBox() {
  HWND box = nullptr;
  while ((box = FindWindowExW(nullptr, box, L"#32770", L"Veyra")) != nullptr) {
    if (OwnedByHost(box)) {
      return box;
    }
  }
  return nullptr;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: approval_box <yes|no|read> <wait_ms>\n", stderr);
    return 2;
  }
  const std::wstring action = argv[1];
  const DWORD waitMs = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
  const ULONGLONG deadline = GetTickCount64() + waitMs;
  HWND box = nullptr;
  while ((box = FindHostBox()) == nullptr && GetTickCount64() < deadline) {
    Sleep(50);
  }
  if (box == nullptr) {
    return 1;
  }
  // A box is found as soon as it exists; it is set up (Yes held back) by
  // the time it shows, and only then can a person see or click it.
  while (IsWindow(box) != FALSE && IsWindowVisible(box) == FALSE && GetTickCount64() < deadline) {
    Sleep(20);
  }
  std::wstring text;
  EnumChildWindows(box, AppendStaticText, reinterpret_cast<LPARAM>(&text));
  PrintUtf8(text);
  const int button = action == L"yes" ? IDYES : action == L"no" ? IDNO : 0;
  // The box holds Yes back for its first second, as a person would wait
  // to read it; a click before then would land on nothing.
  const ULONGLONG enabledBy = GetTickCount64() + 5000;
  while (button == IDYES && IsWindowEnabled(GetDlgItem(box, IDYES)) == FALSE &&
         GetTickCount64() < enabledBy) {
    Sleep(50);
  }
  if (button != 0) {
    SendMessageW(GetDlgItem(box, button), BM_CLICK, 0, 0);
  }
  return 0;
}

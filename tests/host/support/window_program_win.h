#pragma once

#include <windows.h>

#include <string>

namespace veyra::testing_support {

// Whether |window| belongs to a process started from a file named |program|
// ("veyra-tray.exe"): the test tools tell our boxes from those of other
// programs, Wine's own included, that share their class or caption.
inline bool WindowOfProgram(HWND window, const wchar_t* program) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) {
    return false;
  }
  wchar_t path[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  const bool named = QueryFullProcessImageNameW(process, 0, path, &size) != 0;
  CloseHandle(process);
  const std::wstring image(path, named ? size : 0);
  const std::wstring name = std::wstring(L"\\") + program;
  return image.size() >= name.size() &&
         lstrcmpiW(image.c_str() + image.size() - name.size(), name.c_str()) == 0;
}

}  // namespace veyra::testing_support

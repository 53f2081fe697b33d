// Drives a running veyra-tray.exe for its tests, from outside the process,
// as the shell and the user would. One subcommand per run; exit code 0 when
// it did what was asked (or the awaited thing happened in time), 1 if not.
//
//   wait-tray <ms> | wait-tray-gone <ms>
//   command <id>           WM_COMMAND to the tray's window
//   click                  the icon's button-up callback (opens the menu)
//   wait-window <class> <ms>   a visible top-level window of that class,
//                              the tray's; prints its caption and rectangle
//   menu-keys <vk>...      keys to the open menu (the tray's thread)
//   dialog-set-text <text> | dialog-key <vk> | dialog-texts
//   wait-host <running|stopped> <ms>
//   reset-settings | set-setting <name> <text> | get-setting <name>
//   press <id>             a button of the open dialog or message box
//   box-text               caption and text of the open message box
//   count-windows <class>  top-level windows of the class, hidden ones too
//   resources <exe> <icon group id>   the program's version, icon group,
//                          manifest and (if any) address dialog
//   env <name> | ui-language | tooltip <ms>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "tests/host/support/window_program_win.h"

namespace {

constexpr const wchar_t* kTrayClass = L"VeyraTrayWindow";
constexpr const wchar_t* kSettingsKey = L"Software\\Brenvik\\Veyra";
constexpr UINT kMsgTrayIcon = 0x8001;
constexpr int kAddressEdit = 1001;
constexpr int kAddressLabel = 1002;

void Print(const std::wstring& text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
  std::string out(bytes, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), bytes,
                      nullptr, nullptr);
  out += '\n';
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), out.data(), static_cast<DWORD>(out.size()), &written,
            nullptr);
}

// Polls every 50 ms until the test holds or the time is up.
template <typename Test>
bool WaitFor(DWORD limitMs, Test test) {
  const ULONGLONG deadline = GetTickCount64() + limitMs;
  for (;;) {
    if (test()) {
      return true;
    }
    if (GetTickCount64() >= deadline) {
      return false;
    }
    Sleep(50);
  }
}

HWND TrayWindow() { return FindWindowW(kTrayClass, nullptr); }

struct Counted {
  const wchar_t* className;
  int count = 0;
};

BOOL CALLBACK CountClass(HWND window, LPARAM param) {
  auto* counted = reinterpret_cast<Counted*>(param);
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  counted->count += std::wcscmp(name, counted->className) == 0 ? 1 : 0;
  return TRUE;
}

// Wine sometimes shows a box of its own (a console's error, say) that must
// not pass for the tray's dialog and take the test's keys.
bool OfTheTray(HWND window) {
  return veyra::testing_support::WindowOfProgram(window, L"veyra-tray.exe");
}

struct Found {
  const wchar_t* className;
  bool trayOnly = false;
  HWND window = nullptr;
};

BOOL CALLBACK FindVisible(HWND window, LPARAM param) {
  auto* found = reinterpret_cast<Found*>(param);
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  if (std::wcscmp(name, found->className) == 0 && IsWindowVisible(window) &&
      (!found->trayOnly || OfTheTray(window))) {
    found->window = window;
    return FALSE;
  }
  return TRUE;
}

HWND VisibleWindowOfClass(const wchar_t* className, bool trayOnly = false) {
  Found found{className, trayOnly};
  EnumWindows(FindVisible, reinterpret_cast<LPARAM>(&found));
  return found.window;
}

// WM_GETTEXT rather than GetWindowTextW, which does not ask a window of
// another process and so misses an edit control's contents.
std::wstring WindowText(HWND window) {
  wchar_t text[1024] = {};
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                      5000, &copied);
  return text;
}

HWND AddressDialog() { return VisibleWindowOfClass(L"#32770", true); }

void PostKey(HWND window, UINT vk) {
  const UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
  PostMessageW(window, WM_KEYDOWN, vk, 1 | (scan << 16));
  PostMessageW(window, WM_KEYUP, vk, 1 | (scan << 16) | (3U << 30));
}

std::wstring VersionString(const std::vector<std::uint8_t>& block, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueW(block.data(), path.c_str(), &value, &length) || length == 0) {
    return L"";
  }
  return std::wstring(static_cast<const wchar_t*>(value), length - 1);
}

// The resource's bytes, or empty.
std::vector<std::uint8_t> Resource(HMODULE module, LPCWSTR id, LPCWSTR type) {
  HRSRC found = FindResourceW(module, id, type);
  if (found == nullptr) {
    return {};
  }
  const auto* data = static_cast<const std::uint8_t*>(LockResource(LoadResource(module, found)));
  return std::vector<std::uint8_t>(data, data + SizeofResource(module, found));
}

int PrintResources(const wchar_t* program, WORD iconGroup) {
  DWORD ignored = 0;
  std::vector<std::uint8_t> version(GetFileVersionInfoSizeW(program, &ignored));
  if (version.empty() ||
      !GetFileVersionInfoW(program, 0, static_cast<DWORD>(version.size()), version.data())) {
    return 1;
  }
  Print(L"product=" + VersionString(version, L"ProductName"));
  Print(L"version=" + VersionString(version, L"ProductVersion") + L"/" +
        VersionString(version, L"FileVersion"));
  Print(L"description=" + VersionString(version, L"FileDescription"));
  HMODULE module =
      LoadLibraryExW(program, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) {
    return 1;
  }
  // GRPICONDIR: reserved, type, count; then 14-byte entries whose first
  // byte is the width (0 for 256) and last two bytes the RT_ICON id.
  const std::vector<std::uint8_t> group =
      Resource(module, MAKEINTRESOURCEW(iconGroup), RT_GROUP_ICON);
  std::wstring sizes;
  int png = 0;
  const std::size_t count = group.size() >= 6 ? group[4] | (group[5] << 8) : 0;
  for (std::size_t i = 0; i < count && 6 + (i + 1) * 14 <= group.size(); ++i) {
    const std::uint8_t* entry = group.data() + 6 + i * 14;
    const int width = entry[0] == 0 ? 256 : entry[0];
    const int bits = entry[6] | (entry[7] << 8);
    const WORD id = static_cast<WORD>(entry[12] | (entry[13] << 8));
    sizes += (sizes.empty() ? L"" : L",") + std::to_wstring(width) + L"x" + std::to_wstring(bits);
    const std::vector<std::uint8_t> image = Resource(module, MAKEINTRESOURCEW(id), RT_ICON);
    png += image.size() > 8 && image[1] == 'P' && image[2] == 'N' && image[3] == 'G' ? 1 : 0;
  }
  Print(L"icons=" + sizes + L" png=" + std::to_wstring(png));
  const std::vector<std::uint8_t> manifest = Resource(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
  const std::string text(manifest.begin(), manifest.end());
  Print(std::wstring(L"manifest=") +
        (text.find("<dpiAwareness") != std::string::npos &&
                 text.find("PerMonitorV2") != std::string::npos
             ? L"permonitorv2"
             : L"-") +
        (text.find("Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"") != std::string::npos
             ? L",comctl6"
             : L",-") +
        (text.find("level=\"asInvoker\"") != std::string::npos ? L",asInvoker" : L",-"));
  // DLGTEMPLATEEX: version 1, signature 0xFFFF, help id, extended style,
  // style, item count, x, y, cx, cy.
  const std::vector<std::uint8_t> dialog = Resource(module, MAKEINTRESOURCEW(102), RT_DIALOG);
  if (dialog.size() >= 26) {
    const auto word = [&](std::size_t at) { return dialog[at] | (dialog[at + 1] << 8); };
    const auto dword = [&](std::size_t at) {
      return static_cast<std::uint32_t>(word(at)) |
             (static_cast<std::uint32_t>(word(at + 2)) << 16);
    };
    wchar_t style[16];
    std::swprintf(style, 16, L"%08X", dword(12));
    Print(L"dialog=" + std::to_wstring(word(0)) + L"/" + std::to_wstring(word(2)) + L" style=" +
          style + L" exstyle=" + std::to_wstring(dword(8)) + L" items=" +
          std::to_wstring(word(16)) + L" size=" + std::to_wstring(word(22)) + L"x" +
          std::to_wstring(word(24)));
  }
  FreeLibrary(module);
  return 0;
}

int Fail(const wchar_t* what) {
  Print(std::wstring(L"failed: ") + what);
  return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    return Fail(L"no subcommand");
  }
  const std::wstring verb = argv[1];
  const auto number = [&](int i) {
    return i < argc ? static_cast<DWORD>(std::wcstoul(argv[i], nullptr, 10)) : 0;
  };

  if (verb == L"wait-tray") {
    return WaitFor(number(2), [] { return TrayWindow() != nullptr; }) ? 0 : 1;
  }
  if (verb == L"wait-tray-gone") {
    return WaitFor(number(2), [] { return TrayWindow() == nullptr; }) ? 0 : 1;
  }
  if (verb == L"command" || verb == L"click") {
    HWND tray = TrayWindow();
    if (tray == nullptr) {
      return Fail(L"no tray window");
    }
    // The shell's callback: icon id 1, the mouse message in lParam.
    const bool left = argc >= 3 && std::wstring(argv[2]) == L"left";
    const BOOL posted = verb == L"command" ? PostMessageW(tray, WM_COMMAND, number(2), 0)
                                           : PostMessageW(tray, kMsgTrayIcon, 1,
                                                          left ? WM_LBUTTONUP : WM_RBUTTONUP);
    return posted ? 0 : 1;
  }
  if (verb == L"count-windows" && argc >= 3) {
    Counted counted{argv[2]};
    EnumWindows(CountClass, reinterpret_cast<LPARAM>(&counted));
    Print(std::to_wstring(counted.count));
    return 0;
  }
  if (verb == L"press") {
    HWND dialog = AddressDialog();
    if (dialog == nullptr) {
      return Fail(L"no dialog");
    }
    return PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(number(2), BN_CLICKED),
                        reinterpret_cast<LPARAM>(GetDlgItem(dialog, static_cast<int>(number(2)))))
               ? 0
               : 1;
  }
  if (verb == L"box-text") {
    // A message box shows its text in the static control 0xFFFF.
    HWND box = AddressDialog();
    if (box == nullptr) {
      return Fail(L"no message box");
    }
    Print(WindowText(box));
    Print(WindowText(GetDlgItem(box, 0xFFFF)));
    return 0;
  }
  if (verb == L"wait-window" && argc >= 4) {
    HWND window = nullptr;
    if (!WaitFor(number(3),
                 [&] { return (window = VisibleWindowOfClass(argv[2], true)) != nullptr; })) {
      return Fail(L"no such window");
    }
    RECT r{};
    GetWindowRect(window, &r);
    Print(WindowText(window));
    Print(std::to_wstring(r.left) + L" " + std::to_wstring(r.top) + L" " +
          std::to_wstring(r.right) + L" " + std::to_wstring(r.bottom));
    return 0;
  }
  if (verb == L"menu-keys") {
    // The menu's modal loop reads every message of the tray's thread.
    HWND tray = TrayWindow();
    if (tray == nullptr) {
      return Fail(L"no tray window");
    }
    for (int i = 2; i < argc; ++i) {
      PostKey(tray, number(i));
    }
    return 0;
  }
  if (verb == L"dialog-set-text" && argc >= 3) {
    HWND dialog = AddressDialog();
    return dialog != nullptr && SetDlgItemTextW(dialog, kAddressEdit, argv[2]) ? 0 : 1;
  }
  if (verb == L"dialog-key") {
    HWND dialog = AddressDialog();
    if (dialog == nullptr) {
      return Fail(L"no dialog");
    }
    PostKey(GetDlgItem(dialog, kAddressEdit), number(2));
    return 0;
  }
  if (verb == L"dialog-texts") {
    HWND dialog = AddressDialog();
    if (dialog == nullptr) {
      return Fail(L"no dialog");
    }
    Print(WindowText(dialog));
    Print(WindowText(GetDlgItem(dialog, kAddressLabel)));
    Print(WindowText(GetDlgItem(dialog, kAddressEdit)));
    Print(WindowText(GetDlgItem(dialog, IDOK)));
    Print(WindowText(GetDlgItem(dialog, IDCANCEL)));
    return 0;
  }
  if (verb == L"wait-host" && argc >= 4) {
    const bool wanted = std::wstring(argv[2]) == L"running";
    return WaitFor(number(3),
                   [&] {
                     HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, L"Local\\Veyra.Host.v1");
                     const bool running = mutex != nullptr;
                     if (mutex != nullptr) {
                       CloseHandle(mutex);
                     }
                     return running == wanted;
                   })
               ? 0
               : 1;
  }
  if (verb == L"reset-settings") {
    const LSTATUS status = RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                       L"Veyra");
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? 0 : 1;
  }
  if (verb == L"set-setting" && argc >= 4) {
    const std::wstring text = argv[3];
    return RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, argv[2], REG_SZ, text.c_str(),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS
               ? 0
               : 1;
  }
  if (verb == L"get-setting" && argc >= 3) {
    wchar_t text[512] = {};
    DWORD size = sizeof(text);
    if (RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, argv[2], RRF_RT_REG_SZ, nullptr, text,
                     &size) != ERROR_SUCCESS) {
      return Fail(L"no such value");
    }
    Print(text);
    return 0;
  }
  if (verb == L"env" && argc >= 3) {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetEnvironmentVariableW(argv[2], buffer.data(), buffer.size());
    Print(std::wstring(buffer.data(), length < buffer.size() ? length : 0));
    return 0;
  }
  if (verb == L"resources" && argc >= 4) {
    return PrintResources(argv[2], static_cast<WORD>(number(3)));
  }
  if (verb == L"ui-language") {
    Print(std::to_wstring(GetUserDefaultUILanguage()));
    return 0;
  }
  if (verb == L"tooltip") {
    // The shell's tooltip control answers WM_GETTEXT with the text it shows.
    std::wstring text;
    const bool shown = WaitFor(number(2), [&] {
      HWND tip = VisibleWindowOfClass(L"tooltips_class32");
      if (tip == nullptr) {
        return false;
      }
      text = WindowText(tip);
      return !text.empty();
    });
    if (!shown) {
      return Fail(L"no tooltip");
    }
    Print(text);
    return 0;
  }
  return Fail(L"unknown subcommand");
}

#include "tray/tray_window_win.h"

#include <cwchar>
#include <system_error>
#include <thread>

#include "tray/address_dialog_win.h"
#include "tray/connection_guide.h"
#include "tray/data_paths_win.h"
#include "tray/guide_platform_win.h"
#include "tray/host_launch.h"
#include "tray/host_process_win.h"
#include "tray/localized_text.h"
#include "tray/phone_browser_win.h"
#include "tray/sign_in_startup_win.h"
#include "tray/tray_commands.h"

namespace veyra {
namespace {

constexpr const wchar_t* kWindowClass = L"VeyraTrayWindow";

// Owns a popup menu and, through it, its submenus.
class ScopedMenu {
 public:
  ScopedMenu() : menu_(CreatePopupMenu()) {}
  ~ScopedMenu() {
    if (menu_ != nullptr) {
      DestroyMenu(menu_);
    }
  }
  ScopedMenu(const ScopedMenu&) = delete;
  ScopedMenu& operator=(const ScopedMenu&) = delete;
  HMENU Get() const { return menu_; }
  [[nodiscard]] HMENU Take() { return std::exchange(menu_, nullptr); }

 private:
  HMENU menu_;
};

void AppendItems(HMENU menu, const std::vector<MenuItem>& items) {
  for (const MenuItem& item : items) {
    switch (item.kind) {
      case MenuItem::Kind::Separator:
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        break;
      case MenuItem::Kind::Submenu: {
        ScopedMenu submenu;
        AppendItems(submenu.Get(), item.children);
        // Once appended, the parent owns the submenu and destroys it.
        if (AppendMenuW(menu, MF_STRING | MF_POPUP, reinterpret_cast<UINT_PTR>(submenu.Get()),
                        item.label.c_str())) {
          static_cast<void>(submenu.Take());
        }
        break;
      }
      case MenuItem::Kind::Command: {
        UINT flags = MF_STRING;
        flags |= item.checked ? MF_CHECKED : 0;
        flags |= item.grayed ? MF_GRAYED : 0;
        AppendMenuW(menu, flags, item.id, item.label.c_str());
        break;
      }
    }
  }
}

GuideWorld GuideWorldOf(const DisplayState& display, std::size_t phonesFound,
                        const BrowserPath& browser, SettingsStore& settings) {
  GuideWorld world;
  world.browser = browser;
  world.displayFound = display.present;
  world.receiverAddress = settings.ReadReceiverAddress();
  world.phonesFound = phonesFound;
  world.hostRunning = IsHostRunning();
  world.korean = IsKorean();
  return world;
}

}  // namespace

TrayWindow::TrayWindow(HINSTANCE instance)
    : instance_(instance),
      extraDisplay_(displays_, settings_),
      controller_(*this, settings_, extraDisplay_, IsKorean()) {}

bool TrayWindow::Start() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance_;
  windowClass.lpszClassName = kWindowClass;
  RegisterClassExW(&windowClass);
  // Zero-sized, never shown and without the taskbar's attention.
  window_ =
      CreateWindowExW(0, kWindowClass, L"Veyra", 0, 0, 0, 0, 0, nullptr, nullptr, instance_, this);
  if (window_ == nullptr) {
    return false;
  }
  taskbarCreatedMessage_ = RegisterWindowMessageW(L"TaskbarCreated");
  wchar_t limit[16] = {};
  const DWORD length = GetEnvironmentVariableW(kEarlyExitLimitVariable, limit, 16);
  if (length > 0 && length < 16) {
    const unsigned long limitMs = std::wcstoul(limit, nullptr, 10);
    if (limitMs >= 1000 && limitMs <= kEarlyExitLimitMs) {
      controller_.SetEarlyExitLimit(limitMs);
    }
  }
  controller_.Start();
  SetTimer(window_, kTimerRefresh, kRefreshPeriodMs, nullptr);
  return true;
}

void TrayWindow::RunMessageLoop() {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

LRESULT CALLBACK TrayWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    return DefWindowProcW(window, message, wParam, lParam);
  }
  auto* self = reinterpret_cast<TrayWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) {
    return DefWindowProcW(window, message, wParam, lParam);
  }
  return self->Handle(window, message, wParam, lParam);
}

LRESULT TrayWindow::Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (taskbarCreatedMessage_ != 0 && message == taskbarCreatedMessage_) {
    // Explorer restarted and lost every icon.
    controller_.OnTaskbarCreated();
    return 0;
  }
  switch (message) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_QUERYENDSESSION:
      return 1;
    case WM_ENDSESSION:
      if (wParam != 0) {
        controller_.Shutdown();
      }
      return 0;
    case WM_DISPLAYCHANGE:
      controller_.Refresh();
      return 0;
    case WM_COMMAND:
      controller_.OnCommand(LOWORD(wParam));
      return 0;
    case WM_TIMER:
      if (wParam == kTimerRetry) {
        controller_.OnRetryTimer();
      } else {
        controller_.Refresh();
      }
      return 0;
    case kMsgTrayIcon:
      if (LOWORD(lParam) == WM_RBUTTONUP || LOWORD(lParam) == WM_LBUTTONUP) {
        controller_.ShowMainMenu();
      }
      return 0;
    case kMsgPhonesFound:
      controller_.OnPhonesFound(handOver_->Take());
      return 0;
    case kMsgHostExited:
      controller_.OnHostExited(static_cast<std::uint32_t>(wParam));
      return 0;
    case kMsgHostOutput:
      for (const HostLine& line : hostOutput_->Take()) {
        // A host replaced since may still have had lines on their way.
        if (line.host == hostStarts_) {
          controller_.OnHostOutput(line.text);
        }
      }
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

bool TrayWindow::IsHostRunning() { return veyra::IsHostRunning(); }
std::wstring TrayWindow::HostPath() { return veyra::HostPath(); }
std::wstring TrayWindow::DataFolder() { return AppDataFolder(); }

bool TrayWindow::StartHost(const std::wstring& path, const std::wstring& commandLine) {
  HostWatch watch;
  watch.window = window_;
  watch.exitedMessage = kMsgHostExited;
  watch.outputMessage = kMsgHostOutput;
  watch.output = hostOutput_;
  watch.host = ++hostStarts_;
  return veyra::StartHost(path, commandLine, watch);
}

std::optional<std::uint32_t> TrayWindow::RunHost(const std::wstring& commandLine,
                                                 std::uint32_t limitMs) {
  return RunHidden(commandLine, limitMs);
}

void TrayWindow::StopAllHosts() { StopAllHostsOfThisSession(); }
std::uint64_t TrayWindow::TickMs() { return GetTickCount64(); }

void TrayWindow::LoadIcon(bool attached) { icon_ = LoadTrayIcon(instance_, attached); }

void TrayWindow::AddIcon(const std::wstring& tooltip) {
  AddNotifyIcon(window_, kMsgTrayIcon, icon_.Get(), tooltip);
}

void TrayWindow::ModifyIcon(bool attached, const std::wstring& tooltip) {
  ScopedIcon fresh = LoadTrayIcon(instance_, attached);
  ModifyNotifyIcon(window_, fresh.Get(), tooltip);
  icon_ = std::move(fresh);  // the old picture is destroyed only now
}

void TrayWindow::RemoveIcon() {
  DeleteNotifyIcon(window_);
  icon_.Reset();
}

void TrayWindow::SetRetryTimer() { SetTimer(window_, kTimerRetry, kRetryDelayMs, nullptr); }
void TrayWindow::KillRetryTimer() { KillTimer(window_, kTimerRetry); }

void TrayWindow::TrackMenu(const std::vector<MenuItem>& items) {
  const ScopedMenu menu;
  if (menu.Get() == nullptr) {
    return;
  }
  AppendItems(menu.Get(), items);
  POINT cursor{};
  GetCursorPos(&cursor);
  // Without the foreground the menu would not close when the user clicks
  // elsewhere; the posted WM_NULL lets the next click reach its target.
  SetForegroundWindow(window_);
  TrackPopupMenu(menu.Get(), TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, window_, nullptr);
  PostMessageW(window_, WM_NULL, 0, 0);
}

std::optional<std::wstring> TrayWindow::AskAddress(const std::wstring& current) {
  return veyra::AskAddress(instance_, window_, current);
}

bool TrayWindow::ShowMessage(const std::wstring& text, MessageKind kind, bool owned) {
  UINT type = MB_ICONINFORMATION;
  if (kind == MessageKind::kWarning) {
    type = MB_ICONWARNING;
  } else if (kind == MessageKind::kQuestion) {
    type = MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2;
  }
  return MessageBoxW(owned ? window_ : nullptr, text.c_str(), kMessageCaption, type) == IDYES;
}

bool TrayWindow::StartPhoneSearch() {
  try {
    // Detached: a search ends by itself within a few seconds and touches
    // only the shared hand-over and the window handle.
    std::thread([handOver = handOver_, window = window_] {
      handOver->Put(BrowsePhones());
      PostMessageW(window, kMsgPhonesFound, 0, 0);
    }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void TrayWindow::CloseWindow() { DestroyWindow(window_); }

bool TrayWindow::OpenGuide(bool automatic, bool browserPath) {
  WinGuidePlatform platform(window_);
  // The guide shows the display as it is now, not as the last refresh saw it.
  return veyra::OpenGuide(platform, settings_,
                          GuideWorldOf(extraDisplay_.Probe(), controller_.phones().size(),
                                       controller_.browser(), settings_),
                          automatic ? GuideMode::kAutomatic : GuideMode::kManual, browserPath);
}

void TrayWindow::WriteStatusScript(const DisplayState& display, std::size_t phonesFound,
                                   const BrowserPath& browser) {
  WinGuidePlatform platform(window_);
  veyra::WriteStatusScript(platform, GuideWorldOf(display, phonesFound, browser, settings_));
}

bool TrayWindow::IsStartupEnabled() { return veyra::IsStartupEnabled(); }
bool TrayWindow::SetStartupEnabled(bool enable) { return veyra::SetStartupEnabled(enable); }

}  // namespace veyra

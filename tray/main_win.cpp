// veyra-tray: the notification area front end. No console, no visible
// window; one icon and its menu.
#include <windows.h>

#include "host/base/scoped_handle_win.h"
#include "tray/tray_window_win.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLine*/,
                    int /*show*/) {
  // The result is ignored: the manifest says the same, and older systems
  // without the call run unaware.
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  // One tray per logon. Held, never released, until the process ends.
  const veyra::ScopedHandle singleton(CreateMutexW(nullptr, TRUE, L"Local\\VeyraTraySingleton"));
  if (singleton.IsValid() && GetLastError() == ERROR_ALREADY_EXISTS) {
    return 0;
  }
  veyra::TrayWindow tray(instance);
  if (!tray.Start()) {
    return 1;
  }
  tray.RunMessageLoop();
  tray.Shutdown();
  return 0;
}

#include <objbase.h>
#include <windows.h>

#include <cstdio>

#include "host/app/options.h"
#include "host/app/process_scope.h"
#include "host/app/scoped_handle_win.h"
#include "host/app/stop_request.h"

namespace veyra {
namespace {

BOOL WINAPI ConsoleControlHandler(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      HandleStopRequest();
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

struct ProcessScope::State {
  bool comInitialized = false;
  ScopedHandle presenceMutex;
};

ProcessScope::ProcessScope() : state_(std::make_unique<State>()) {
  if (!SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2)) {
    SetProcessDPIAware();
  }
  state_->comInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  // Only a presence marker for the tray: a second host runs as well, so the
  // result (ERROR_ALREADY_EXISTS included) is not examined.
  state_->presenceMutex.Reset(CreateMutexW(nullptr, FALSE, L"Local\\Veyra.Host.v1"));
  SetConsoleCtrlHandler(ConsoleControlHandler, TRUE);
}

ProcessScope::~ProcessScope() {
  SetRunningSession(nullptr);
  state_->presenceMutex.Reset();
  if (state_->comInitialized) {
    CoUninitialize();
  }
}

bool ReopenStandardError(const std::string& path) {
  FILE* reopened = nullptr;
  return freopen_s(&reopened, path.c_str(), "w", stderr) == 0 && reopened != nullptr;
}

}  // namespace veyra

#include <objbase.h>
#include <shellapi.h>
#include <windows.h>

#include <cstdio>

#include "host/app/process_scope.h"
#include "host/app/stop_request.h"
#include "host/base/options.h"
#include "host/base/scoped_handle_win.h"
#include "host/base/utf_conversion.h"

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

std::vector<std::string> ProgramArguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  if (wide == nullptr) {
    for (int i = 1; i < argc; ++i) {
      args.emplace_back(argv[i]);
    }
    return args;
  }
  for (int i = 1; i < count; ++i) {
    args.push_back(Utf8FromWide(wide[i]));
  }
  LocalFree(wide);
  return args;
}

bool ReopenStandardError(const std::string& path) {
  FILE* reopened = nullptr;
  return _wfreopen_s(&reopened, WideFromUtf8(path).c_str(), L"w", stderr) == 0 &&
         reopened != nullptr;
}

}  // namespace veyra

// Stands in for veyra-host.exe in the tray's tests. Appends its own command
// line to a log (one UTF-8 line per start) and then behaves as the test's
// environment says:
//   --forget-all: exits with VEYRA_STAND_IN_FORGET_EXIT (default 0) after
//                 VEYRA_STAND_IN_FORGET_MS (default 0);
//   otherwise:    holds "Local\Veyra.Host.v1" for a time taken from the
//                 comma list VEYRA_STAND_IN_RUN_MS, one entry per start (the
//                 last one repeats; default ten minutes), then exits with
//                 VEYRA_STAND_IN_EXIT_CODE (default 0).
// VEYRA_STAND_IN_LOG names the log (default: host-calls.txt beside it).
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring Environment(const wchar_t* name) {
  std::vector<wchar_t> buffer(32768);
  const DWORD length = GetEnvironmentVariableW(name, buffer.data(), buffer.size());
  if (length == 0 || length >= buffer.size()) {
    return {};
  }
  return std::wstring(buffer.data(), length);
}

std::wstring LogPath() {
  std::wstring path = Environment(L"VEYRA_STAND_IN_LOG");
  if (!path.empty()) {
    return path;
  }
  std::vector<wchar_t> module(32768);
  const DWORD length = GetModuleFileNameW(nullptr, module.data(), module.size());
  std::wstring self(module.data(), length);
  return self.substr(0, self.rfind(L'\\') + 1) + L"host-calls.txt";
}

std::string Utf8(const std::wstring& text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
  std::string out(bytes, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), bytes,
                      nullptr, nullptr);
  return out;
}

// Appends the line and returns how many lines the log held before.
std::size_t AppendLine(const std::wstring& path, const std::string& line) {
  // A named mutex keeps two starts from interleaving their count and write.
  HANDLE lock = CreateMutexW(nullptr, FALSE, L"Local\\VeyraStandInLog");
  WaitForSingleObject(lock, 10000);
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ | FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::size_t lines = 0;
  if (file != INVALID_HANDLE_VALUE) {
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
      for (DWORD i = 0; i < read; ++i) {
        lines += buffer[i] == '\n' ? 1 : 0;
      }
    }
    const std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
  }
  ReleaseMutex(lock);
  CloseHandle(lock);
  return lines;
}

DWORD Number(const std::wstring& text, DWORD fallback) {
  if (text.empty()) {
    return fallback;
  }
  return static_cast<DWORD>(std::wcstoul(text.c_str(), nullptr, 10));
}

DWORD RunTimeFor(std::size_t start) {
  constexpr DWORD kTenMinutes = 600000;
  const std::wstring list = Environment(L"VEYRA_STAND_IN_RUN_MS");
  std::vector<DWORD> times;
  std::size_t at = 0;
  while (at <= list.size() && !list.empty()) {
    const std::size_t comma = list.find(L',', at);
    times.push_back(Number(list.substr(at, comma - at), kTenMinutes));
    if (comma == std::wstring::npos) {
      break;
    }
    at = comma + 1;
  }
  if (times.empty()) {
    return kTenMinutes;
  }
  return times[start < times.size() ? start : times.size() - 1];
}

}  // namespace

int wmain() {
  const std::wstring commandLine = GetCommandLineW();
  const std::size_t start = AppendLine(LogPath(), Utf8(commandLine));
  if (commandLine.find(L" --forget-all") != std::wstring::npos) {
    Sleep(Number(Environment(L"VEYRA_STAND_IN_FORGET_MS"), 0));
    return static_cast<int>(Number(Environment(L"VEYRA_STAND_IN_FORGET_EXIT"), 0));
  }
  HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Local\\Veyra.Host.v1");
  Sleep(RunTimeFor(start));
  CloseHandle(mutex);
  return static_cast<int>(Number(Environment(L"VEYRA_STAND_IN_EXIT_CODE"), 0));
}

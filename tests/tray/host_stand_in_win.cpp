// Stands in for veyra-host.exe in the tray's tests. Appends its own command
// line to a log (one UTF-8 line per start) and then behaves as the test's
// environment says:
//   --forget-all: exits with VEYRA_STAND_IN_FORGET_EXIT (default 0) after
//                 VEYRA_STAND_IN_FORGET_MS (default 0);
//   --serve:      holds the mutex as below while it prints the lines of the
//                 file VEYRA_STAND_IN_SERVE_SCRIPT on standard output, each
//                 at once except "wait-for NAME", which waits (up to a
//                 minute) for the file NAME to appear beside the log;
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

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.rfind(L'\\') + 1); }

// Plays the serving host's part: the lines a test wants the tray to read,
// paced by files the test creates.
void PlayServeScript(const std::wstring& logPath) {
  const std::wstring script = Environment(L"VEYRA_STAND_IN_SERVE_SCRIPT");
  HANDLE file = CreateFileW(script.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  std::string text;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    text.append(buffer, read);
  }
  CloseHandle(file);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    end = end == std::string::npos ? text.size() : end;
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    const std::string waitFor = "wait-for ";
    if (line.rfind(waitFor, 0) == 0) {
      const std::wstring name =
          FolderOf(logPath) + std::wstring(line.begin() + waitFor.size(), line.end());
      for (int i = 0; i < 600 && GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
        Sleep(100);
      }
      continue;
    }
    const std::string printed = line + "\r\n";
    DWORD written = 0;
    WriteFile(out, printed.data(), static_cast<DWORD>(printed.size()), &written, nullptr);
  }
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
  const ULONGLONG started = GetTickCount64();
  if (commandLine.find(L" --serve") != std::wstring::npos) {
    PlayServeScript(LogPath());
  }
  const ULONGLONG played = GetTickCount64() - started;
  const DWORD runMs = RunTimeFor(start);
  Sleep(played >= runMs ? 0 : runMs - static_cast<DWORD>(played));
  CloseHandle(mutex);
  return static_cast<int>(Number(Environment(L"VEYRA_STAND_IN_EXIT_CODE"), 0));
}

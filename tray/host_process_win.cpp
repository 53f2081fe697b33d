#include "tray/host_process_win.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "host/base/scoped_handle_win.h"
#include "tray/data_paths_win.h"
#include "tray/host_launch.h"

namespace veyra {
namespace {

class WinOpenedProcess final : public OpenedProcess {
 public:
  explicit WinOpenedProcess(ScopedHandle process) : process_(std::move(process)) {}
  bool Terminate() override { return TerminateProcess(process_.Get(), 0) != FALSE; }
  HANDLE Get() const { return process_.Get(); }

 private:
  ScopedHandle process_;
};

// Creates the process with no console window; the thread handle is closed
// at once, the process handle returned. CREATE_NO_WINDOW alone keeps the
// console program out of sight. No show state is passed: the first
// ShowWindow of a process takes the one in its STARTUPINFO, so SW_HIDE
// there would hide the host's approval box, the one window it ever shows
// (ShowWindow, "nCmdShow ... is ignored the first time").
//
// |output|, when given, becomes the process's standard output and is the one
// handle it inherits (an explicit handle list, so that no other inheritable
// handle of the tray leaks into it); standard input and error are then
// none.
ScopedHandle CreateHidden(const std::wstring& commandLine, HANDLE output = nullptr) {
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup.StartupInfo);
  DWORD flags = CREATE_NO_WINDOW;
  std::vector<unsigned char> attributeBytes;
  HANDLE inherited[1] = {output};
  if (output != nullptr) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    attributeBytes.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeBytes.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
      return {};
    }
    startup.lpAttributeList = list;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                   sizeof(inherited), nullptr, nullptr)) {
      DeleteProcThreadAttributeList(list);
      return {};
    }
    startup.StartupInfo.cb = sizeof(startup);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdOutput = output;
    flags |= EXTENDED_STARTUPINFO_PRESENT;
  }
  PROCESS_INFORMATION info{};
  // CreateProcessW may write into the command line, so it gets a copy.
  std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
  line.push_back(L'\0');
  const BOOL created =
      CreateProcessW(nullptr, line.data(), nullptr, nullptr, output != nullptr ? TRUE : FALSE,
                     flags, nullptr, nullptr, &startup.StartupInfo, &info);
  if (startup.lpAttributeList != nullptr) {
    DeleteProcThreadAttributeList(startup.lpAttributeList);
  }
  if (!created) {
    return {};
  }
  // The host's question about a new phone is a message box that must come
  // to the front; the tray, started by the user or just clicked, passes on
  // its right to set the foreground window (AllowSetForegroundWindow: it
  // lasts until the user's next input elsewhere, and failing changes
  // nothing).
  AllowSetForegroundWindow(info.dwProcessId);
  CloseHandle(info.hThread);
  return ScopedHandle(info.hProcess);
}

}  // namespace

std::wstring HostPath() { return FileBesideProgram(kHostProgramName); }

bool IsHostRunning() {
  const ScopedHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, kHostMutexName));
  return mutex.IsValid();
}

bool StartHost(const std::wstring& path, const std::wstring& commandLine, const HostWatch& watch) {
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return false;
  }
  // The host's standard output: the tray reads one end, the host inherits
  // the other, which the tray closes once the host has it, so that reading
  // ends when the host does.
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
    return false;
  }
  ScopedHandle reading(readEnd);
  ScopedHandle writing(writeEnd);
  SetHandleInformation(reading.Get(), HANDLE_FLAG_INHERIT, 0);
  ScopedHandle process = CreateHidden(commandLine, writing.Get());
  writing.Reset();
  if (!process.IsValid()) {
    return false;
  }
  try {
    // Detached on purpose: it outlives the tray's interest in this host and
    // reports the end all the same; it touches nothing but the handles it
    // owns, the shared output and the window handle (posting to a destroyed
    // window is a no-op).
    std::thread([process = std::move(process), reading = std::move(reading), watch]() {
      std::string partial;
      char bytes[4096];
      DWORD read = 0;
      while (ReadFile(reading.Get(), bytes, sizeof(bytes), &read, nullptr) && read > 0) {
        if (watch.output->Feed(watch.host, partial, std::string_view(bytes, read))) {
          PostMessageW(watch.window, watch.outputMessage, 0, 0);
        }
      }
      WaitForSingleObject(process.Get(), INFINITE);
      DWORD code = 0;
      if (!GetExitCodeProcess(process.Get(), &code)) {
        code = 0;
      }
      PostMessageW(watch.window, watch.exitedMessage, code, 0);
    }).detach();
  } catch (const std::system_error&) {
    // The host runs unwatched; the refresh timer still sees it come and go.
  }
  return true;
}

std::optional<std::uint32_t> RunHidden(const std::wstring& commandLine, std::uint32_t limitMs) {
  const ScopedHandle process = CreateHidden(commandLine);
  if (!process.IsValid()) {
    return std::nullopt;
  }
  if (WaitForSingleObject(process.Get(), limitMs) != WAIT_OBJECT_0) {
    return std::nullopt;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(process.Get(), &code)) {
    return std::nullopt;
  }
  return code;
}

std::vector<ProcessEntry> WinProcessSystem::Processes() {
  std::vector<ProcessEntry> entries;
  const ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.IsValid()) {
    return entries;
  }
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
       more = Process32NextW(snapshot.Get(), &entry)) {
    entries.push_back(
        {entry.th32ProcessID, std::wstring(entry.szExeFile, wcsnlen(entry.szExeFile, MAX_PATH))});
  }
  return entries;
}

bool WinProcessSystem::SessionOf(std::uint32_t pid, std::uint32_t& session) {
  DWORD id = 0;
  if (!ProcessIdToSessionId(pid, &id)) {
    return false;
  }
  session = id;
  return true;
}

std::uint32_t WinProcessSystem::OwnSession() {
  DWORD id = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &id);
  return id;
}

std::unique_ptr<OpenedProcess> WinProcessSystem::Open(std::uint32_t pid) {
  ScopedHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
  if (!process.IsValid()) {
    return nullptr;
  }
  return std::make_unique<WinOpenedProcess>(std::move(process));
}

void WinProcessSystem::WaitForAll(std::span<OpenedProcess* const> processes,
                                  std::chrono::milliseconds limit) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(limit.count());
  // WaitForMultipleObjects takes at most 64 handles; more are waited for in
  // groups against the one deadline.
  for (std::size_t first = 0; first < processes.size(); first += MAXIMUM_WAIT_OBJECTS) {
    std::vector<HANDLE> handles;
    const std::size_t last = std::min(processes.size(), first + MAXIMUM_WAIT_OBJECTS);
    for (std::size_t i = first; i < last; ++i) {
      handles.push_back(static_cast<WinOpenedProcess*>(processes[i])->Get());
    }
    const ULONGLONG now = GetTickCount64();
    const DWORD remaining = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), TRUE, remaining);
  }
}

void StopAllHostsOfThisSession() {
  WinProcessSystem processes;
  StopAllHosts(processes);
}

}  // namespace veyra

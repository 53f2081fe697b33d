#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tray/host_output.h"
#include "tray/host_processes.h"

namespace veyra {

// veyra-host.exe in the tray's own folder.
std::wstring HostPath();

// A host holds its named mutex for as long as it runs; opening it is the
// whole test. The tray never waits on it or owns it.
bool IsHostRunning();

// How a started host is watched: its lines go to |output| under the
// number |host|, each batch announced by outputMessage; its end is posted
// as exitedMessage with the exit code in wParam.
struct HostWatch {
  HWND window = nullptr;
  UINT exitedMessage = 0;
  UINT outputMessage = 0;
  std::shared_ptr<HostOutput> output;
  std::uint64_t host = 0;
};

// Starts the host hidden with its standard output on a pipe, and leaves a
// detached watcher that reads it to its end, then waits for the process.
// False when the program is missing or did not start.
bool StartHost(const std::wstring& path, const std::wstring& commandLine, const HostWatch& watch);

// Runs the command line hidden and waits up to limitMs: its exit code, or
// nothing when it did not start or is still running (it is left to run).
std::optional<std::uint32_t> RunHidden(const std::wstring& commandLine, std::uint32_t limitMs);

// This machine's processes through a Toolhelp snapshot.
class WinProcessSystem final : public ProcessSystem {
 public:
  std::vector<ProcessEntry> Processes() override;
  bool SessionOf(std::uint32_t pid, std::uint32_t& session) override;
  std::uint32_t OwnSession() override;
  std::unique_ptr<OpenedProcess> Open(std::uint32_t pid) override;
  void WaitForAll(std::span<OpenedProcess* const> processes,
                  std::chrono::milliseconds limit) override;
};

// Every host of this session, terminated and waited for (bounded).
void StopAllHostsOfThisSession();

}  // namespace veyra

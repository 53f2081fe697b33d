#pragma once

// Stopping the hosts: which processes are ours to end, each terminated
// once, then one bounded wait for all of them.

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace veyra {

struct ProcessEntry {
  std::uint32_t pid = 0;
  std::wstring exeName;  // file name of the program, as the snapshot lists it
};

// A process opened for termination and waiting.
class OpenedProcess {
 public:
  virtual ~OpenedProcess() = default;
  // Asks for the end; the process may still be running when this returns.
  virtual bool Terminate() = 0;
};

// The processes of this machine (a Toolhelp snapshot on Windows).
class ProcessSystem {
 public:
  virtual ~ProcessSystem() = default;

  // Every process listed now; empty when no snapshot could be taken.
  virtual std::vector<ProcessEntry> Processes() = 0;
  // The logon session of a process; false when it cannot be asked.
  virtual bool SessionOf(std::uint32_t pid, std::uint32_t& session) = 0;
  virtual std::uint32_t OwnSession() = 0;
  // Null when the process cannot be opened (gone, or not ours to end).
  virtual std::unique_ptr<OpenedProcess> Open(std::uint32_t pid) = 0;
  // Returns when all have ended or the limit has passed.
  virtual void WaitForAll(std::span<OpenedProcess* const> processes,
                          std::chrono::milliseconds limit) = 0;
};

// A host slow to die is not terminated again, and hosts of other sessions
// (which this tray cannot see run anyway) are left alone.
inline constexpr std::chrono::milliseconds kHostStopWait{2000};

// Terminates every "veyra-host.exe" of this session, each process once, and
// waits for them together for at most kHostStopWait. A process that cannot
// be opened is skipped. Returns how many were terminated.
std::size_t StopAllHosts(ProcessSystem& processes);

}  // namespace veyra

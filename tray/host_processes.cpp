#include "tray/host_processes.h"

#include <algorithm>
#include <set>

#include "host/base/ascii_case.h"
#include "tray/host_launch.h"

namespace veyra {

std::size_t StopAllHosts(ProcessSystem& processes) {
  const std::uint32_t ownSession = processes.OwnSession();
  std::set<std::uint32_t> seen;
  std::vector<std::unique_ptr<OpenedProcess>> ending;
  for (const ProcessEntry& entry : processes.Processes()) {
    if (!EqualsIgnoringAsciiCase(entry.exeName, kHostProgramName) ||
        !seen.insert(entry.pid).second) {
      continue;
    }
    std::uint32_t session = 0;
    if (!processes.SessionOf(entry.pid, session) || session != ownSession) {
      continue;
    }
    std::unique_ptr<OpenedProcess> process = processes.Open(entry.pid);
    if (process == nullptr) {
      continue;
    }
    if (process->Terminate()) {
      ending.push_back(std::move(process));
    }
  }
  if (!ending.empty()) {
    std::vector<OpenedProcess*> waitFor;
    waitFor.reserve(ending.size());
    std::transform(ending.begin(), ending.end(), std::back_inserter(waitFor),
                   [](const auto& p) { return p.get(); });
    processes.WaitForAll(waitFor, kHostStopWait);
  }
  return ending.size();
}

}  // namespace veyra

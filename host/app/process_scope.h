#pragma once

#include <memory>
#include <string>

namespace veyra {

// The host process's set-up, held for the life of the entry: on Windows DPI
// awareness, COM for this thread, the presence mutex that tells the tray a
// host runs, and the console control handler; natively a watcher for SIGINT
// and SIGTERM. Both forward stop requests to HandleStopRequest.
class ProcessScope {
 public:
  ProcessScope();
  ~ProcessScope();
  ProcessScope(const ProcessScope&) = delete;
  ProcessScope& operator=(const ProcessScope&) = delete;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Reopens the standard error stream onto |path| (created or truncated), so
// that every later log line goes to the file.
bool ReopenStandardError(const std::string& path);

}  // namespace veyra

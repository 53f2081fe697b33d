#pragma once

#include <memory>
#include <string>
#include <vector>

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

// The program's arguments after its name, as UTF-8. Windows hands a narrow
// main() its arguments in the ANSI code page, which would put non-UTF-8
// bytes into the pairing store (a display name such as "Büro"); they are
// taken from the UTF-16 command line instead.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Reopens the standard error stream onto |path| (created or truncated), so
// that every later log line goes to the file.
bool ReopenStandardError(const std::string& path);

}  // namespace veyra

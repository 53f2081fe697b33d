#include "host/app/stop_request.h"

#include <mutex>

#include "host/base/log.h"

namespace veyra {
namespace {

// Guards g_runningSession and is held while the session is asked to stop,
// so that clearing the pointer waits for a stop request already under way
// and the session is never stopped after it has gone.
std::mutex g_runningSessionLock;
StopTarget* g_runningSession = nullptr;

}  // namespace

void SetRunningSession(StopTarget* session) {
  const std::lock_guard<std::mutex> lock(g_runningSessionLock);
  g_runningSession = session;
}

void HandleStopRequest() {
  Log(LogLevel::Info, "shutting down");
  const std::lock_guard<std::mutex> lock(g_runningSessionLock);
  if (g_runningSession != nullptr) {
    g_runningSession->Stop();
  }
}

}  // namespace veyra

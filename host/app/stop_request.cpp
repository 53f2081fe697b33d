#include "host/app/stop_request.h"

#include <atomic>

#include "host/base/log.h"

namespace veyra {
namespace {

std::atomic<StopTarget*> g_runningSession{nullptr};

}  // namespace

void SetRunningSession(StopTarget* session) { g_runningSession.store(session); }

void HandleStopRequest() {
  Log(LogLevel::Info, "shutting down");
  if (StopTarget* session = g_runningSession.load()) {
    session->Stop();
  }
}

}  // namespace veyra

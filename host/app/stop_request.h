#pragma once

namespace veyra {

// Something the console control handler can ask to stop; the session.
class StopTarget {
 public:
  virtual void Stop() = 0;

 protected:
  ~StopTarget() = default;
};

// The process-wide pointer to the running session: set just before it runs
// and cleared as soon as it returns, so a stop request reaches it only while
// it runs.
void SetRunningSession(StopTarget* session);

// What the console control handler (Ctrl+C, Ctrl+Break, console close, or
// SIGINT/SIGTERM natively) does: log "shutting down" and stop the running
// session, if any. Called on the handler's own thread.
void HandleStopRequest();

}  // namespace veyra

#include "host/session/session_state.h"

namespace veyra {

const char* SessionStateName(SessionState state) {
  switch (state) {
    case SessionState::kIdle:
      return "IDLE";
    case SessionState::kConnecting:
      return "CONNECTING";
    case SessionState::kNegotiating:
      return "NEGOTIATING";
    case SessionState::kDisplayCreating:
      return "DISPLAY_CREATING";
    case SessionState::kStreaming:
      return "STREAMING";
    case SessionState::kDegraded:
      return "DEGRADED";
    case SessionState::kReconnecting:
      return "RECONNECTING";
    case SessionState::kStopping:
      return "STOPPING";
  }
  return "?";
}

}  // namespace veyra

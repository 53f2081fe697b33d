#pragma once

#include <cstdint>

namespace veyra {

// Where the session stands; printed by SessionStateName in the state lines.
enum class SessionState : std::int32_t {
  kIdle = 0,
  kConnecting = 1,
  kNegotiating = 2,
  kDisplayCreating = 3,
  kStreaming = 4,
  kDegraded = 5,
  kReconnecting = 6,
  kStopping = 7,
};

// "IDLE", "CONNECTING", ...; "?" for a value outside the table.
const char* SessionStateName(SessionState state);

}  // namespace veyra

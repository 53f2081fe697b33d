#include <windows.h>

#include "host/session/session_platform.h"

namespace veyra {

void KeepSystemAwake(bool awake) {
  SetThreadExecutionState(awake ? (ES_CONTINUOUS | ES_SYSTEM_REQUIRED) : ES_CONTINUOUS);
}

}  // namespace veyra

#include "host/session/session_platform.h"

namespace veyra {

void KeepSystemAwake(bool /*awake*/) {}

}  // namespace veyra

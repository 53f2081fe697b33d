#pragma once

namespace veyra {

// Keeps the system from sleeping while the session runs (true), or gives
// that up again (false). Natively there is nothing to keep awake.
void KeepSystemAwake(bool awake);

}  // namespace veyra

#pragma once

namespace veyra {

// Starting the tray at sign-in through the value "Veyra" of the current
// user's Run key, holding the tray's quoted path.
bool IsStartupEnabled();
bool SetStartupEnabled(bool enable);

}  // namespace veyra

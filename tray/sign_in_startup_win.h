#pragma once

namespace veyra {

// Starting the tray at sign-in. A packaged tray asks its package's startup
// task "VeyraTray" on a worker thread; a plain one keeps the value "Veyra"
// of the current user's Run key, holding the tray's quoted path.
bool IsPackaged();
bool IsStartupEnabled();
bool SetStartupEnabled(bool enable);

// The Run key alone, whatever the installation.
bool IsRunValueEnabled();
bool SetRunValueEnabled(bool enable);

}  // namespace veyra

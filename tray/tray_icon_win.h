#pragma once

#include <windows.h>

#include <string>
#include <utility>

namespace veyra {

// Owns one icon and destroys it. Every icon the tray holds is its own copy,
// never a shared system icon, so destroying it is always right.
class ScopedIcon {
 public:
  ScopedIcon() = default;
  explicit ScopedIcon(HICON icon) : icon_(icon) {}
  ~ScopedIcon() { Reset(); }
  ScopedIcon(ScopedIcon&& other) noexcept : icon_(other.Take()) {}
  ScopedIcon& operator=(ScopedIcon&& other) noexcept {
    if (this != &other) {
      Reset(other.Take());
    }
    return *this;
  }
  ScopedIcon(const ScopedIcon&) = delete;
  ScopedIcon& operator=(const ScopedIcon&) = delete;

  HICON Get() const { return icon_; }
  void Reset(HICON icon = nullptr) {
    if (icon_ != nullptr) {
      DestroyIcon(icon_);
    }
    icon_ = icon;
  }
  [[nodiscard]] HICON Take() { return std::exchange(icon_, nullptr); }

 private:
  HICON icon_ = nullptr;
};

// The tray icon at the small-icon size: in colour while the extra display
// is attached, greyed otherwise (colour when greying fails). Without the
// icon resource, a copy of the system's application icon.
ScopedIcon LoadTrayIcon(HINSTANCE instance, bool attached);

// A half-bright, half-transparent grey copy of the icon; null on failure.
ScopedIcon MakeGreyIcon(HICON icon, int size);

// The notification area entry (id 1) of the window.
void AddNotifyIcon(HWND window, UINT callbackMessage, HICON icon, const std::wstring& tooltip);
void ModifyNotifyIcon(HWND window, HICON icon, const std::wstring& tooltip);
void DeleteNotifyIcon(HWND window);

}  // namespace veyra

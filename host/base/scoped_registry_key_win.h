#pragma once

#include <windows.h>

namespace veyra {

// Owns one open registry key and closes it. Filled through Receive by the
// RegOpenKeyExW / RegCreateKeyExW that open it.
class ScopedRegistryKey {
 public:
  ScopedRegistryKey() = default;
  ~ScopedRegistryKey() {
    if (key_ != nullptr) {
      RegCloseKey(key_);
    }
  }
  ScopedRegistryKey(const ScopedRegistryKey&) = delete;
  ScopedRegistryKey& operator=(const ScopedRegistryKey&) = delete;

  HKEY Get() const { return key_; }
  HKEY* Receive() { return &key_; }

 private:
  HKEY key_ = nullptr;
};

}  // namespace veyra

#pragma once

#include <windows.h>

#include <utility>

namespace veyra {

// Owns one kernel handle and closes it. Accepts both "no handle" conventions
// of the Win32 API (NULL and INVALID_HANDLE_VALUE).
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() { Reset(); }

  ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.Take()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) {
      Reset(other.Take());
    }
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  bool IsValid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }

  void Reset(HANDLE handle = nullptr) {
    if (IsValid()) {
      CloseHandle(handle_);
    }
    handle_ = handle;
  }

  [[nodiscard]] HANDLE Take() { return std::exchange(handle_, nullptr); }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace veyra

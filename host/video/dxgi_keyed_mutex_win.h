#pragma once

#include <dxgi.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <utility>

#include "host/video/keyed_mutex.h"

namespace veyra {

// The keyed mutex of a shared Direct3D texture behind the portable lock:
// one per texture and device, the converter's on the capture device and the
// encoder's on its own.
class DxgiKeyedMutex final : public KeyedMutex {
 public:
  explicit DxgiKeyedMutex(Microsoft::WRL::ComPtr<IDXGIKeyedMutex> mutex)
      : mutex_(std::move(mutex)) {}

  std::int32_t AcquireSync(std::uint64_t key, std::uint32_t timeoutMs) override {
    return mutex_->AcquireSync(key, timeoutMs);
  }
  std::int32_t ReleaseSync(std::uint64_t key) override { return mutex_->ReleaseSync(key); }

 private:
  Microsoft::WRL::ComPtr<IDXGIKeyedMutex> mutex_;
};

}  // namespace veyra

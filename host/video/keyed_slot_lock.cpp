#include "host/video/keyed_slot_lock.h"

#include <chrono>

namespace veyra {

std::int32_t KeyedSlotLock::AcquireSync(std::uint64_t key, std::uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool free = released_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                       [&] { return abandoned_ || (!held_ && key_ == key); });
  if (abandoned_) return kKeyedMutexAbandoned;
  if (!free) return kKeyedMutexTimeout;
  held_ = true;
  return status::kSOk;
}

std::int32_t KeyedSlotLock::ReleaseSync(std::uint64_t key) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!held_) return status::kDxgiErrorInvalidCall;
    held_ = false;
    key_ = key;
  }
  released_.notify_all();
  return status::kSOk;
}

void KeyedSlotLock::Abandon() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
    abandoned_ = true;
  }
  released_.notify_all();
}

}  // namespace veyra

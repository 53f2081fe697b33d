#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "host/video/keyed_mutex.h"

namespace veyra {

// A keyed mutex in memory, for the native back end's NV12 pool: the same
// three outcomes as the Direct3D one, so the converter and the encoder run
// the same hand-off in both builds. Starts free with key 0. Safe from any
// thread; waits are bounded by the caller's timeout.
class KeyedSlotLock final : public KeyedMutex {
 public:
  std::int32_t AcquireSync(std::uint64_t key, std::uint32_t timeoutMs) override;

  // DXGI_ERROR_INVALID_CALL when the lock is not held.
  std::int32_t ReleaseSync(std::uint64_t key) override;

  // The holder went away while holding the lock (its device was lost): the
  // slot's contents are undefined, and every later AcquireSync reports the
  // lock abandoned.
  void Abandon();

 private:
  std::mutex mutex_;  // guards the three fields below; a leaf lock
  std::condition_variable released_;
  bool held_ = false;
  bool abandoned_ = false;
  std::uint64_t key_ = 0;
};

}  // namespace veyra

#pragma once

#include <cstdint>

#include "host/base/status_codes.h"

namespace veyra {

// The lock of one shared NV12 slot, shaped as the keyed mutex of a shared
// Direct3D texture: whoever holds it releases it with a key, and the next
// holder must ask for that key. Key 0 means the slot is free for the
// converter, key 1 that it holds a converted frame for the encoder. This is
// the only synchronisation between converter and encoder.
class KeyedMutex {
 public:
  virtual ~KeyedMutex() = default;

  // S_OK when acquired with |key|. Otherwise not acquired: WAIT_TIMEOUT
  // (0x102, positive) when the key did not come within |timeoutMs|,
  // WAIT_ABANDONED (0x80, positive) when the last holder went away without
  // releasing, or a negative failure. Only S_OK means the caller holds it.
  virtual std::int32_t AcquireSync(std::uint64_t key, std::uint32_t timeoutMs) = 0;

  // Gives the lock up, to be acquired next with |key|.
  virtual std::int32_t ReleaseSync(std::uint64_t key) = 0;
};

// The results of AcquireSync as status values.
inline constexpr std::int32_t kKeyedMutexTimeout = static_cast<std::int32_t>(status::kWaitTimeout);
inline constexpr std::int32_t kKeyedMutexAbandoned =
    static_cast<std::int32_t>(status::kWaitAbandoned);

}  // namespace veyra

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "host/capture/texture.h"
#include "host/video/keyed_mutex.h"

namespace veyra {

// What the encoder device opens a pool slot by: an NT handle of the shared
// texture on Windows, the native back end's shared slot natively.
using SharedHandle = void*;

inline constexpr std::size_t kNv12PoolSlots = 8;

// One NV12 texture of the pool, shareable with the encoder's device.
struct Nv12Slot {
  Texture texture;                         // on the capture device
  std::shared_ptr<KeyedMutex> keyedMutex;  // 0: converter's, 1: encoder's
  SharedHandle sharedHandle = nullptr;     // owned by the converter
  bool hasQuery = false;                   // a completion query exists
  std::uint64_t bltTimeUs = 0;             // conversion submitted; 0 when none awaited
};

// The ring the converter writes into and the encoder reads from: exactly
// kNv12PoolSlots slots once the converter is initialised.
using Nv12Pool = std::vector<Nv12Slot>;

}  // namespace veyra

#pragma once

#include <memory>

#include "host/capture/texture.h"
#include "host/video/keyed_slot_lock.h"
#include "host/video/nv12_pool.h"

namespace veyra {

// What a native shared handle points at: the slot's picture and its lock.
// The encoder takes its own references to both when it opens the handle, as
// opening a shared texture does, so closing the handle leaves them alive.
struct SharedSurface {
  Texture texture;
  std::shared_ptr<KeyedSlotLock> lock;
};

inline SharedHandle HandleOf(SharedSurface* surface) { return surface; }
inline SharedSurface* SurfaceOf(SharedHandle handle) { return static_cast<SharedSurface*>(handle); }

}  // namespace veyra

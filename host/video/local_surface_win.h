#pragma once

#include <d3d11.h>
#include <wrl/client.h>

#include <memory>

#include "host/video/keyed_slot_lock.h"
#include "host/video/nv12_pool.h"

namespace veyra {

// What a pool slot's handle points at when the driver cannot share NV12
// textures and one device converts and encodes: the slot's texture itself
// and an in-process keyed lock in place of the shared texture's keyed
// mutex. Owned by the conversion engine; the encoder takes its own
// references when it opens the handle, as opening a shared texture does.
struct LocalSurface {
  Microsoft::WRL::ComPtr<ID3D11Texture2D> texture;
  std::shared_ptr<KeyedSlotLock> lock;
};

inline SharedHandle HandleOf(LocalSurface* surface) { return surface; }
inline LocalSurface* LocalSurfaceOf(SharedHandle handle) {
  return static_cast<LocalSurface*>(handle);
}

}  // namespace veyra

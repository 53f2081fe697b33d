#pragma once

#include <d3d11.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <vector>

#include "host/capture/pointer_blend.h"
#include "host/capture/rect_texture_win.h"

namespace veyra {

// Reads the desktop pixels under a pointer back to the CPU without making
// the capture thread wait for the GPU: Request copies the rectangle into a
// small staging texture, TryTake maps it with D3D11_MAP_FLAG_DO_NOT_WAIT
// and gives up (DXGI_ERROR_WAS_STILL_DRAWING) while the copy is still
// queued. Only the pointer's rectangle ever crosses, never the frame.
//
// Threads: the capture thread's, like its overlay.
class PointerReadback {
 public:
  // What a read-back holds: a rectangle of one desktop image.
  struct Key {
    PixelRect rect;
    std::uint64_t generation = 0;  // the overlay's count of desktop images

    bool operator==(const Key& other) const {
      return rect.left == other.rect.left && rect.top == other.rect.top &&
             rect.right == other.rect.right && rect.bottom == other.rect.bottom &&
             generation == other.generation;
    }
  };

  // Queues the copy of |key.rect| of |picture|; replaces the request before.
  HRESULT Request(ID3D11Device* device, ID3D11DeviceContext* context, ID3D11Texture2D* picture,
                  const Key& key);

  // The requested pixels, rows packed tightly, once the GPU has copied
  // them; false while it has not (or the map failed), leaving the request.
  bool TryTake(ID3D11DeviceContext* context, std::vector<std::uint8_t>* pixels);

  bool pending() const { return pending_; }
  const Key& key() const { return key_; }
  void Reset();

 private:
  RectTexture staging_{true};
  Key key_;
  bool pending_ = false;
};

}  // namespace veyra

#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "host/base/x11_display_posix.h"
#include "host/capture/graphics_context.h"
#include "host/capture/pointer_shape.h"

namespace veyra {

// Reads one monitor of an X display into BGRA textures: MIT-SHM for the
// pixels (xcb GetImage when the server cannot share memory with us), DAMAGE
// to know when nothing changed, XFixes for the pointer, RandR for the
// monitor's rectangle and for size changes. All methods run on one thread
// (the session's while opening and closing, the capture thread in between).
// XFixes' pointer image (premultiplied ARGB, one 32-bit word per pixel) as
// the colour shape the blending draws: straight alpha, BGRA bytes.
PointerShape ColorShapeFromPremultiplied(const std::uint32_t* argb, std::uint16_t width,
                                         std::uint16_t height);

class X11ScreenCapture {
 public:
  // |replyTimeoutMs| bounds every wait for the X server (tests shorten it).
  explicit X11ScreenCapture(GraphicsContext& graphics,
                            std::uint32_t replyTimeoutMs = X11Display::kReplyTimeoutMs);
  ~X11ScreenCapture();
  X11ScreenCapture(const X11ScreenCapture&) = delete;
  X11ScreenCapture& operator=(const X11ScreenCapture&) = delete;

  // Connects and aims at monitor |outputIndex|: 0 when ready; the
  // not-found status without such a monitor; E_FAIL without a display, for
  // one that does not answer within the reply bound, or for a pixel format
  // other than 32-bit BGRX (the reason is logged).
  std::int32_t Open(std::uint32_t outputIndex);
  void Close();

  // 0 with the monitor's picture (pointer blended in) in |texture| when the
  // screen or the pointer changed since the last picture; 1 when nothing did
  // within |timeoutMs| (at most kPointerPollMs, since pointer motion wakes
  // nothing); the access-lost status when the display went away or the
  // monitor vanished; E_FAIL, with the capture closed, when the server
  // did not answer within the reply bound; another negative status when a
  // read failed. After a size change the texture has the new size and holds
  // no picture.
  std::int32_t Acquire(Texture* texture, std::uint32_t timeoutMs);

  std::uint32_t width() const { return monitor_.width; }
  std::uint32_t height() const { return monitor_.height; }
  const X11Monitor& monitor() const { return monitor_; }

  // How long Acquire waits for damage at most: the pointer is polled, so a
  // longer wait would delay its motion on a still screen.
  static constexpr std::uint32_t kPointerPollMs = 8;

 private:
  class SharedImage;
  struct Pointer {
    std::uint32_t serial = 0;
    std::int32_t x = 0;  // hot spot, root coordinates
    std::int32_t y = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint16_t hotX = 0;
    std::uint16_t hotY = 0;
  };

  bool CheckFormat() const;
  void SelectEvents();
  // Drains the event queue; true when it held damage on our monitor or a
  // screen change (which also re-reads the layout).
  bool DrainEvents();
  bool ReadPointerImage();
  bool ReadPointerPosition(std::int32_t* x, std::int32_t* y);
  // Re-reads the monitor into |now|: 0 when its size held, 1 when it
  // changed, the access-lost status when it is gone.
  std::int32_t CheckLayout(X11Monitor* now);
  std::int32_t Grab(Texture* texture);
  // The status for a display that failed a read: E_FAIL (and closed) when
  // it stalled, the access-lost status when it went away.
  std::int32_t Lost();
  std::int32_t ReturnTexture(std::uint32_t width, std::uint32_t height, Texture* texture);
  void BlendPointer(const Texture& texture) const;

  GraphicsContext& graphics_;
  std::uint32_t outputIndex_ = 0;
  X11Display display_;
  X11Monitor monitor_;
  std::unique_ptr<SharedImage> shared_;
  std::uint32_t damage_ = 0;
  std::uint8_t damageEvent_ = 0;
  std::uint8_t xfixesEvent_ = 0;
  std::uint8_t randrEvent_ = 0;
  bool dirty_ = true;
  bool layoutChanged_ = false;
  // Reads that failed in a row; a few are the screen shrinking under the
  // monitor before RandR says so.
  std::uint32_t readFailures_ = 0;
  bool pointerChanged_ = true;
  bool hasPointer_ = false;  // the pointer's image has visible pixels
  Pointer pointer_;
  PointerShape shape_;               // the pointer's picture, hot spot not applied
  std::int32_t drawnPointerX_ = -1;  // where the last picture has the pointer
  std::int32_t drawnPointerY_ = -1;
  std::uint32_t drawnSerial_ = 0;
  bool drawnVisible_ = false;  // whether the last picture has the pointer
  Texture texture_;            // reused while no one else holds it
};

}  // namespace veyra

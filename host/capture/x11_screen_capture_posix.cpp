// X11 capture. The screen is read whole for the monitor's rectangle when
// DAMAGE says something on it changed or the pointer moved, into a shared
// memory segment the server writes directly (one GetImage request, no pixel
// data on the socket); the pointer, which the server leaves out of the
// image, is blended in from XFixes' copy of it.

#include "host/capture/x11_screen_capture_posix.h"

#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/base/clock.h"
#include "host/base/log.h"
#include "host/base/status_codes.h"
#include "host/capture/pointer_blend.h"
#include "host/capture/texture_storage_posix.h"

namespace veyra {
namespace {

constexpr std::uint32_t kBytesPerPixel = 4;
constexpr std::uint32_t kReadFailuresTolerated = 3;

std::uint8_t Unpremultiply(std::uint32_t channel, std::uint32_t alpha) {
  return static_cast<std::uint8_t>(
      std::min<std::uint32_t>(255, (channel * 255 + alpha / 2) / alpha));
}

// Whether any pixel of XFixes' pointer image shows: a client that hides
// the pointer by giving it an image without visible pixels (a 1x1 cursor
// under an empty mask) leaves nothing to draw.
bool AnyVisible(const std::uint32_t* argb, std::size_t count) {
  return std::any_of(argb, argb + count, [](std::uint32_t pixel) { return pixel >> 24 != 0; });
}

bool Intersects(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height,
                const X11Monitor& monitor) {
  return x < monitor.x + static_cast<std::int32_t>(monitor.width) && monitor.x < x + width &&
         y < monitor.y + static_cast<std::int32_t>(monitor.height) && monitor.y < y + height;
}

}  // namespace

PointerShape ColorShapeFromPremultiplied(const std::uint32_t* argb, std::uint16_t width,
                                         std::uint16_t height) {
  PointerShape shape;
  shape.kind = PointerShapeKind::kColor;
  shape.width = width;
  shape.height = height;
  shape.pitch = std::uint32_t{width} * kBytesPerPixel;
  const std::size_t count = std::size_t{width} * height;
  shape.pixels.resize(count * kBytesPerPixel);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t pixel = argb[i];
    const std::uint32_t alpha = pixel >> 24;
    std::uint8_t* out = shape.pixels.data() + i * kBytesPerPixel;
    if (alpha == 0) continue;  // fully transparent; the bytes stay 0
    out[0] = Unpremultiply(pixel & 0xFF, alpha);
    out[1] = Unpremultiply((pixel >> 8) & 0xFF, alpha);
    out[2] = Unpremultiply((pixel >> 16) & 0xFF, alpha);
    out[3] = static_cast<std::uint8_t>(alpha);
  }
  return shape;
}

// A System V shared memory segment attached to the server: the server writes
// GetImage's pixels into it. Marked for removal as soon as both sides are
// attached, so that nothing outlives the process even if it is killed.
class X11ScreenCapture::SharedImage {
 public:
  static std::unique_ptr<SharedImage> Attach(X11Display& display, std::size_t bytes) {
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0) {
      const int error = errno;
      Log(LogLevel::Warn, "shmget of %zu bytes failed (errno %d); reading pixels over the socket",
          bytes, error);
      return nullptr;
    }
    void* address = shmat(id, nullptr, SHM_RDONLY);
    if (reinterpret_cast<std::intptr_t>(address) == -1) {
      const int error = errno;
      shmctl(id, IPC_RMID, nullptr);
      Log(LogLevel::Warn, "shmat failed (errno %d); reading pixels over the socket", error);
      return nullptr;
    }
    xcb_connection_t* connection = display.connection();
    auto image = std::unique_ptr<SharedImage>(new SharedImage(connection, address, bytes));
    image->segment_ = xcb_generate_id(connection);
    const xcb_void_cookie_t attach =
        xcb_shm_attach_checked(connection, image->segment_, static_cast<std::uint32_t>(id), 0);
    // The bounded round trip has the attach's answer read; the check then
    // finds it at once.
    const bool answered = display.Sync();
    const XcbReply<xcb_generic_error_t> error(answered ? xcb_request_check(connection, attach)
                                                       : nullptr);
    shmctl(id, IPC_RMID, nullptr);
    if (!answered) {
      image->segment_ = 0;
      return nullptr;
    }
    if (error) {
      // A server on another machine (or another user's) cannot reach our
      // memory.
      Log(LogLevel::Warn, "MIT-SHM attach refused (X error %u); reading pixels over the socket",
          error->error_code);
      image->segment_ = 0;
      return nullptr;
    }
    return image;
  }

  ~SharedImage() {
    if (segment_ != 0 && xcb_connection_has_error(connection_) == 0) {
      xcb_shm_detach(connection_, segment_);
      xcb_flush(connection_);
    }
    shmdt(address_);
  }
  SharedImage(const SharedImage&) = delete;
  SharedImage& operator=(const SharedImage&) = delete;

  std::uint32_t segment() const { return segment_; }
  const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(address_); }
  std::size_t size() const { return bytes_; }

 private:
  SharedImage(xcb_connection_t* connection, void* address, std::size_t bytes)
      : connection_(connection), address_(address), bytes_(bytes) {}

  xcb_connection_t* connection_;
  void* address_;
  std::size_t bytes_;
  std::uint32_t segment_ = 0;
};

X11ScreenCapture::X11ScreenCapture(GraphicsContext& graphics, std::uint32_t replyTimeoutMs)
    : graphics_(graphics), display_(replyTimeoutMs) {}

X11ScreenCapture::~X11ScreenCapture() { Close(); }

std::int32_t X11ScreenCapture::Open(std::uint32_t outputIndex) {
  Close();
  outputIndex_ = outputIndex;
  // No display, or one that cannot be captured, is a plain failure: the
  // transient statuses mean a duplication limit or mode change on Windows
  // and would have the session retry, with the wrong reason, for ever.
  if (!display_.Open("capture", {&xcb_shm_id, &xcb_xfixes_id, &xcb_damage_id})) {
    return status::kEFail;
  }
  if (!CheckFormat()) {
    Log(LogLevel::Error, "X display %s is not 24-bit colour in 32-bit pixels; cannot capture it",
        display_.name().c_str());
    Close();
    return status::kEFail;
  }
  std::uint32_t screenWidth = 0;
  std::uint32_t screenHeight = 0;
  if (!display_.ReadScreenSize(&screenWidth, &screenHeight)) {
    Close();
    return status::kEFail;
  }
  const std::vector<X11Monitor> monitors = display_.ReadMonitors();
  if (display_.Broken()) {
    Close();
    return status::kEFail;
  }
  if (!ChooseX11Monitor(monitors, screenWidth, screenHeight, outputIndex, &monitor_)) {
    Log(LogLevel::Error, "output %u does not exist on X display %s (%zu RandR monitors)",
        outputIndex, display_.name().c_str(), monitors.size());
    Close();
    return status::kDxgiErrorNotFound;
  }
  if (display_.HasExtension(&xcb_shm_id)) {
    shared_ = SharedImage::Attach(display_,
                                  std::size_t{monitor_.width} * monitor_.height * kBytesPerPixel);
  }
  SelectEvents();
  dirty_ = true;
  // A round trip: the reports that creating the damage and selecting the
  // events send at once (the whole screen as damaged, the current pointer)
  // are queued before the first picture is read, so they do not cause a
  // second one.
  ReadPointerImage();
  if (display_.Broken()) {
    Close();
    return status::kEFail;
  }
  Log(LogLevel::Info,
      "capturing X display %s monitor %u \"%s\": %ux%u at (%d,%d); shm=%d damage=%d pointer=%d",
      display_.name().c_str(), outputIndex, monitor_.name.c_str(), monitor_.width, monitor_.height,
      monitor_.x, monitor_.y, shared_ ? 1 : 0, damage_ != 0 ? 1 : 0, xfixesEvent_ != 0 ? 1 : 0);
  return status::kSOk;
}

void X11ScreenCapture::Close() {
  // The segment is detached while the connection still lives.
  shared_.reset();
  display_.Close();
  damage_ = 0;
  damageEvent_ = 0;
  xfixesEvent_ = 0;
  randrEvent_ = 0;
  hasPointer_ = false;
  pointer_ = Pointer{};
  drawnPointerX_ = -1;
  drawnPointerY_ = -1;
  drawnSerial_ = 0;
  drawnVisible_ = false;
  texture_ = Texture{};
}

bool X11ScreenCapture::CheckFormat() const {
  const xcb_setup_t* setup = xcb_get_setup(display_.connection());
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  const std::uint8_t depth = display_.rootDepth();
  if (depth != 24 && depth != 32) return false;
  for (xcb_format_iterator_t it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0;
       xcb_format_next(&it)) {
    if (it.data->depth == depth) return it.data->bits_per_pixel == 32;
  }
  return false;
}

void X11ScreenCapture::SelectEvents() {
  xcb_connection_t* c = display_.connection();
  // Both extensions want their version negotiated before any other request;
  // DAMAGE's regions are XFixes regions, so XFixes comes first.
  if (display_.HasExtension(&xcb_xfixes_id)) {
    const XcbReply<xcb_xfixes_query_version_reply_t> xfixes =
        display_.Await<xcb_xfixes_query_version_reply_t>(xcb_xfixes_query_version(c, 4, 0));
    xfixesEvent_ = xcb_get_extension_data(c, &xcb_xfixes_id)->first_event;
    xcb_xfixes_select_cursor_input(c, display_.root(),
                                   XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
  }
  if (xfixesEvent_ != 0 && display_.HasExtension(&xcb_damage_id)) {
    const XcbReply<xcb_damage_query_version_reply_t> damage =
        display_.Await<xcb_damage_query_version_reply_t>(xcb_damage_query_version(c, 1, 1));
    damageEvent_ = xcb_get_extension_data(c, &xcb_damage_id)->first_event;
    damage_ = xcb_generate_id(c);
    // Bounding-box reports name where the damage is, so damage on another
    // monitor can be told apart; one report per growth of the box.
    xcb_damage_create(c, damage_, display_.root(), XCB_DAMAGE_REPORT_LEVEL_BOUNDING_BOX);
  } else {
    Log(LogLevel::Warn, "X display %s has no DAMAGE; every pass reads the screen",
        display_.name().c_str());
  }
  if (display_.HasExtension(&xcb_randr_id)) {
    randrEvent_ = xcb_get_extension_data(c, &xcb_randr_id)->first_event;
    xcb_randr_select_input(c, display_.root(),
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE);
  }
  xcb_flush(c);
}

bool X11ScreenCapture::DrainEvents() {
  bool any = false;
  while (true) {
    const XcbReply<xcb_generic_event_t> event(xcb_poll_for_event(display_.connection()));
    if (!event) break;
    const std::uint8_t type = event->response_type & 0x7F;
    if (type == 0) {
      const auto* error = reinterpret_cast<const xcb_generic_error_t*>(event.get());
      Log(LogLevel::Debug, "X error %u on request %u", error->error_code, error->major_code);
    } else if (damage_ != 0 && type == damageEvent_ + XCB_DAMAGE_NOTIFY) {
      const auto* notify = reinterpret_cast<const xcb_damage_notify_event_t*>(event.get());
      if (Intersects(notify->area.x, notify->area.y, notify->area.width, notify->area.height,
                     monitor_)) {
        dirty_ = true;
      }
      any = true;
    } else if (xfixesEvent_ != 0 && type == xfixesEvent_ + XCB_XFIXES_CURSOR_NOTIFY) {
      pointerChanged_ = true;
      any = true;
    } else if (randrEvent_ != 0 && (type == randrEvent_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                                    type == randrEvent_ + XCB_RANDR_NOTIFY)) {
      layoutChanged_ = true;
      any = true;
    }
  }
  return any;
}

bool X11ScreenCapture::ReadPointerImage() {
  pointerChanged_ = false;
  if (xfixesEvent_ == 0) return false;
  xcb_connection_t* c = display_.connection();
  const XcbReply<xcb_xfixes_get_cursor_image_reply_t> reply =
      display_.Await<xcb_xfixes_get_cursor_image_reply_t>(xcb_xfixes_get_cursor_image(c));
  if (!reply) return false;
  const std::size_t count = std::size_t{reply->width} * reply->height;
  if (static_cast<std::size_t>(xcb_xfixes_get_cursor_image_cursor_image_length(reply.get())) <
      count) {
    return false;
  }
  const std::uint32_t* argb = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
  shape_ = ColorShapeFromPremultiplied(argb, reply->width, reply->height);
  pointer_.serial = reply->cursor_serial;
  pointer_.width = reply->width;
  pointer_.height = reply->height;
  pointer_.hotX = std::min(reply->xhot, reply->width);
  pointer_.hotY = std::min(reply->yhot, reply->height);
  pointer_.x = reply->x;
  pointer_.y = reply->y;
  hasPointer_ = AnyVisible(argb, count);
  return true;
}

bool X11ScreenCapture::ReadPointerPosition(std::int32_t* x, std::int32_t* y) {
  xcb_connection_t* c = display_.connection();
  const XcbReply<xcb_query_pointer_reply_t> reply =
      display_.Await<xcb_query_pointer_reply_t>(xcb_query_pointer(c, display_.root()));
  if (!reply) return false;
  *x = reply->root_x;
  *y = reply->root_y;
  return true;
}

std::int32_t X11ScreenCapture::CheckLayout(X11Monitor* now) {
  layoutChanged_ = false;
  std::uint32_t screenWidth = 0;
  std::uint32_t screenHeight = 0;
  if (!display_.ReadScreenSize(&screenWidth, &screenHeight)) return Lost();
  const std::vector<X11Monitor> monitors = display_.ReadMonitors();
  if (display_.Broken()) return Lost();
  if (!ChooseX11Monitor(monitors, screenWidth, screenHeight, outputIndex_, now)) {
    Log(LogLevel::Warn, "X monitor %u is gone", outputIndex_);
    return status::kDxgiErrorAccessLost;
  }
  if (now->width != monitor_.width || now->height != monitor_.height) {
    Log(LogLevel::Info, "X monitor %u changed size %ux%u -> %ux%u", outputIndex_, monitor_.width,
        monitor_.height, now->width, now->height);
    return status::kSFalse;
  }
  if (!(*now == monitor_)) {
    monitor_ = *now;
    dirty_ = true;
  }
  return status::kSOk;
}

std::int32_t X11ScreenCapture::Acquire(Texture* texture, std::uint32_t timeoutMs) {
  if (!display_.IsOpen()) return status::kInvalidStateHresult;
  xcb_connection_t* c = display_.connection();
  DrainEvents();
  if (!dirty_ && !layoutChanged_ && !pointerChanged_ && timeoutMs != 0) {
    pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
    if (poll(&fd, 1, static_cast<int>(std::min(timeoutMs, kPointerPollMs))) > 0) DrainEvents();
  }
  if (display_.Broken()) return Lost();
  if (layoutChanged_) {
    X11Monitor resized;
    const std::int32_t layout = CheckLayout(&resized);
    if (layout < 0) return layout;
    if (layout == status::kSFalse) {
      // The new size goes out without a picture; the session rebuilds the
      // pipeline for it and opens the capture again.
      texture_ = Texture{};
      return ReturnTexture(resized.width, resized.height, texture);
    }
  }
  if (pointerChanged_) ReadPointerImage();
  std::int32_t pointerX = drawnPointerX_;
  std::int32_t pointerY = drawnPointerY_;
  if (!ReadPointerPosition(&pointerX, &pointerY)) return Lost();
  // A pointer that was drawn and is hidden now (or the reverse) changes the
  // picture as much as one that moved.
  bool pointerMoved = hasPointer_ != drawnVisible_;
  if (!pointerMoved && hasPointer_ &&
      (pointerX != drawnPointerX_ || pointerY != drawnPointerY_ ||
       pointer_.serial != drawnSerial_)) {
    const auto onMonitor = [this](std::int32_t x, std::int32_t y) {
      return Intersects(x - pointer_.hotX, y - pointer_.hotY, pointer_.width, pointer_.height,
                        monitor_);
    };
    pointerMoved = onMonitor(pointerX, pointerY) || onMonitor(drawnPointerX_, drawnPointerY_);
  }
  pointer_.x = pointerX;
  pointer_.y = pointerY;
  if (!dirty_ && !pointerMoved && damage_ != 0) return status::kSFalse;

  if (dirty_ && damage_ != 0) {
    // Sent before the image is read, so whatever changes after the read
    // reports damage again.
    xcb_damage_subtract(c, damage_, XCB_NONE, XCB_NONE);
  }
  dirty_ = false;
  const std::int32_t grabbed = Grab(texture);
  if (grabbed != status::kSOk) return grabbed;
  drawnPointerX_ = pointerX;
  drawnPointerY_ = pointerY;
  drawnSerial_ = pointer_.serial;
  drawnVisible_ = hasPointer_;
  return status::kSOk;
}

std::int32_t X11ScreenCapture::Lost() {
  if (display_.Stalled()) {
    // The connection is of no more use: its last request is unanswered.
    // A frozen server may resume, so this is a plain failure, which the
    // session retries after a while, rather than the display gone.
    Close();
    return status::kEFail;
  }
  Log(LogLevel::Warn, "X display %s went away", display_.name().c_str());
  return status::kDxgiErrorAccessLost;
}

std::int32_t X11ScreenCapture::ReturnTexture(std::uint32_t width, std::uint32_t height,
                                             Texture* texture) {
  if (!texture_ || texture_.storage.use_count() > 1 || texture_.width != width ||
      texture_.height != height) {
    texture_ = Texture{};
    const std::int32_t created =
        graphics_.CreateTexture(width, height, PixelFormat::kBgra, &texture_);
    if (created < 0) return created;
  }
  *texture = texture_;
  return status::kSOk;
}

std::int32_t X11ScreenCapture::Grab(Texture* texture) {
  xcb_connection_t* c = display_.connection();
  const auto x = static_cast<std::int16_t>(monitor_.x);
  const auto y = static_cast<std::int16_t>(monitor_.y);
  const auto width = static_cast<std::uint16_t>(monitor_.width);
  const auto height = static_cast<std::uint16_t>(monitor_.height);
  const std::size_t bytes = std::size_t{width} * height * kBytesPerPixel;
  const std::uint8_t* pixels = nullptr;
  XcbReply<xcb_get_image_reply_t> plain;
  xcb_generic_error_t* error = nullptr;
  if (shared_) {
    const XcbReply<xcb_shm_get_image_reply_t> reply = display_.Await<xcb_shm_get_image_reply_t>(
        xcb_shm_get_image(c, display_.root(), x, y, width, height, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                          shared_->segment(), 0),
        &error);
    if (reply) pixels = shared_->data();
  } else {
    plain = display_.Await<xcb_get_image_reply_t>(
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, display_.root(), x, y, width, height, ~0u),
        &error);
    if (plain && static_cast<std::size_t>(xcb_get_image_data_length(plain.get())) >= bytes) {
      pixels = xcb_get_image_data(plain.get());
    }
  }
  const XcbReply<xcb_generic_error_t> failure(error);
  if (pixels == nullptr) {
    const unsigned code = failure ? failure->error_code : 0;
    if (display_.Broken()) return Lost();
    // The screen may have shrunk under the monitor before its event came:
    // the next passes read the layout again (a new size is then a size
    // change, rebuilt at once) and the picture again. Only reads that keep
    // failing are a capture failure.
    layoutChanged_ = true;
    dirty_ = true;
    Log(LogLevel::Warn, "reading X monitor %u failed (X error %u)", outputIndex_, code);
    if (++readFailures_ < kReadFailuresTolerated) return status::kSFalse;
    readFailures_ = 0;
    return status::kEFail;
  }
  readFailures_ = 0;
  const std::int32_t made = ReturnTexture(width, height, texture);
  if (made < 0) return made;
  TextureStorage& storage = StorageOf(*texture);
  const std::size_t rowBytes = std::size_t{width} * kBytesPerPixel;
  for (std::uint32_t row = 0; row < height; ++row) {
    std::memcpy(storage.bytes.data() + std::size_t{row} * storage.pitch, pixels + row * rowBytes,
                rowBytes);
  }
  BlendPointer(*texture);
  return status::kSOk;
}

void X11ScreenCapture::BlendPointer(const Texture& texture) const {
  if (!hasPointer_) return;
  const PointerState state{true, pointer_.x - pointer_.hotX - monitor_.x,
                           pointer_.y - pointer_.hotY - monitor_.y};
  TextureStorage& storage = StorageOf(texture);
  veyra::BlendPointer(shape_, state, storage.bytes.data(), texture.width, texture.height,
                      storage.pitch);
}

}  // namespace veyra

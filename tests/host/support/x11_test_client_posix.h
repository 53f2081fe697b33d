#pragma once

// The tests' own X client: draws on the root window, moves the pointer,
// lays out RandR monitors and resizes the screen of a test's Xvfb.

#include <sys/uio.h>
#include <xcb/randr.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/base/x11_display_posix.h"

namespace veyra {

class X11TestClient {
 public:
  explicit X11TestClient(const std::string& display) {
    connection_ = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(connection_) != 0) return;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    root_ = screen->root;
    gc_ = xcb_generate_id(connection_);
    xcb_create_gc(connection_, gc_, root_, 0, nullptr);
  }
  ~X11TestClient() { xcb_disconnect(connection_); }
  X11TestClient(const X11TestClient&) = delete;
  X11TestClient& operator=(const X11TestClient&) = delete;

  bool ok() const { return xcb_connection_has_error(connection_) == 0; }
  xcb_connection_t* connection() const { return connection_; }
  xcb_window_t root() const { return root_; }

  // Fills a rectangle of the root window with 0xRRGGBB.
  void Fill(std::uint32_t rgb, std::int16_t x, std::int16_t y, std::uint16_t width,
            std::uint16_t height) {
    xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, &rgb);
    const xcb_rectangle_t rect{x, y, width, height};
    xcb_poly_fill_rectangle(connection_, root_, gc_, 1, &rect);
    Sync();
  }

  void Warp(std::int16_t x, std::int16_t y) {
    xcb_warp_pointer(connection_, XCB_NONE, root_, 0, 0, 0, 0, x, y);
    Sync();
  }

  // Covers the screen with an input-only (unseen) window whose pointer
  // shows nothing: a 1x1 cursor under an empty mask, as clients hide the
  // pointer. The window lives as long as this client.
  void CoverWithBlankPointer() {
    xcb_connection_t* c = connection_;
    const xcb_pixmap_t empty = xcb_generate_id(c);
    xcb_create_pixmap(c, 1, empty, root_, 1, 1);
    // A new pixmap's contents are undefined: cleared, it is an empty mask.
    const xcb_gcontext_t clear = xcb_generate_id(c);
    const std::uint32_t zero = 0;
    xcb_create_gc(c, clear, empty, XCB_GC_FOREGROUND, &zero);
    const xcb_rectangle_t pixel{0, 0, 1, 1};
    xcb_poly_fill_rectangle(c, empty, clear, 1, &pixel);
    const xcb_cursor_t blank = xcb_generate_id(c);
    xcb_create_cursor(c, blank, empty, empty, 0, 0, 0, 0, 0, 0, 0, 0);
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t values[] = {1, blank};  // override-redirect, cursor
    xcb_create_window(c, 0, window, root_, 0, 0, screen->width_in_pixels, screen->height_in_pixels,
                      0, XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT,
                      XCB_CW_OVERRIDE_REDIRECT | XCB_CW_CURSOR, values);
    xcb_map_window(c, window);
    Sync();
  }

  // Adds a RandR monitor without outputs, as `xrandr --setmonitor NAME
  // WxH/0x0+X+Y none` means to. Sent by hand: libxcb 1.15's
  // xcb_randr_set_monitor miscounts the request's length and the server
  // closes the connection. The monitor lives as long as this client.
  void AddMonitor(const char* name, std::int16_t x, std::int16_t y, std::uint16_t width,
                  std::uint16_t height) {
    const XcbReply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
        connection_, xcb_randr_query_version(connection_, 1, 5), nullptr));
    const XcbReply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
        connection_,
        xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
        nullptr));
    if (!atom) return;
    struct {
      std::uint8_t major = 0;  // filled in by xcb, as is the length
      std::uint8_t minor = 0;
      std::uint16_t length = 0;
      xcb_window_t window = 0;
      xcb_randr_monitor_info_t info{};
    } request;
    request.window = root_;
    request.info.name = atom->atom;
    request.info.x = x;
    request.info.y = y;
    request.info.width = width;
    request.info.height = height;
    request.info.width_in_millimeters = width / 4u;
    request.info.height_in_millimeters = height / 4u;
    static const xcb_protocol_request_t kSetMonitor = {1, &xcb_randr_id, XCB_RANDR_SET_MONITOR, 1};
    iovec parts[3];  // xcb uses the two before the request's own
    parts[2].iov_base = &request;
    parts[2].iov_len = sizeof request;
    xcb_send_request(connection_, 0, parts + 2, &kSetMonitor);
    Sync();
  }

  // Turns every CRTC off, which a screen smaller than their modes needs
  // first, then resizes the screen, as `xrandr --fb WxH` does.
  void SetScreenSize(std::uint16_t width, std::uint16_t height) {
    const XcbReply<xcb_randr_get_screen_resources_reply_t> resources(
        xcb_randr_get_screen_resources_reply(
            connection_, xcb_randr_get_screen_resources(connection_, root_), nullptr));
    if (!resources) return;
    const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_crtcs(resources.get());
    for (int i = 0; i < xcb_randr_get_screen_resources_crtcs_length(resources.get()); ++i) {
      const XcbReply<xcb_randr_set_crtc_config_reply_t> done(xcb_randr_set_crtc_config_reply(
          connection_,
          xcb_randr_set_crtc_config(connection_, crtcs[i], XCB_CURRENT_TIME,
                                    resources->config_timestamp, 0, 0, XCB_NONE,
                                    XCB_RANDR_ROTATION_ROTATE_0, 0, nullptr),
          nullptr));
    }
    xcb_randr_set_screen_size(connection_, root_, width, height, width / 4u, height / 4u);
    Sync();
  }

  // A round trip: everything sent before has been carried out.
  void Sync() {
    const XcbReply<xcb_get_input_focus_reply_t> focus(
        xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  }

 private:
  xcb_connection_t* connection_ = nullptr;
  xcb_window_t root_ = 0;
  xcb_gcontext_t gc_ = 0;
};

}  // namespace veyra

// The native host's one way to reach an X server: capture and input each
// hold a connection of their own (xcb connections are not shared across the
// capture and receive threads), opened from DISPLAY as any X client does.

#include "host/base/x11_display_posix.h"

#include <xcb/randr.h>

#include <algorithm>
#include <cstdlib>

#include "host/base/log.h"

namespace veyra {
namespace {

// RandR 1.5 introduced monitors (GetMonitors).
constexpr std::uint32_t kRandrMajor = 1;
constexpr std::uint32_t kRandrMinor = 5;

std::string AtomName(xcb_connection_t* connection, xcb_atom_t atom) {
  const XcbReply<xcb_get_atom_name_reply_t> reply(
      xcb_get_atom_name_reply(connection, xcb_get_atom_name(connection, atom), nullptr));
  if (!reply) return {};
  return std::string(xcb_get_atom_name_name(reply.get()),
                     static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
}

}  // namespace

bool ChooseX11Monitor(const std::vector<X11Monitor>& monitors, std::uint32_t screenWidth,
                      std::uint32_t screenHeight, std::uint32_t index, X11Monitor* chosen) {
  X11Monitor monitor;
  if (monitors.empty()) {
    if (index != 0) return false;
    monitor = X11Monitor{"screen", 0, 0, screenWidth, screenHeight};
  } else {
    if (index >= monitors.size()) return false;
    monitor = monitors[index];
  }
  // A monitor may reach past the screen while a mode change is under way;
  // only the part on the screen can be read.
  const std::int64_t left = std::max<std::int64_t>(0, monitor.x);
  const std::int64_t top = std::max<std::int64_t>(0, monitor.y);
  const std::int64_t right =
      std::min<std::int64_t>(screenWidth, std::int64_t{monitor.x} + monitor.width);
  const std::int64_t bottom =
      std::min<std::int64_t>(screenHeight, std::int64_t{monitor.y} + monitor.height);
  if (right <= left || bottom <= top) return false;
  monitor.x = static_cast<std::int32_t>(left);
  monitor.y = static_cast<std::int32_t>(top);
  monitor.width = static_cast<std::uint32_t>(right - left);
  monitor.height = static_cast<std::uint32_t>(bottom - top);
  *chosen = monitor;
  return true;
}

X11Display::~X11Display() { Close(); }

bool X11Display::Open(const char* purpose) {
  Close();
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    Log(LogLevel::Error, "%s: no X display (DISPLAY is not set)", purpose);
    return false;
  }
  name_ = display;
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(display, &screenNumber);
  const int error = xcb_connection_has_error(connection);
  if (error != 0) {
    // xcb_connect always returns an object, which must be disconnected even
    // when it failed.
    xcb_disconnect(connection);
    Log(LogLevel::Error, "%s: cannot open X display %s (xcb error %d)", purpose, name_.c_str(),
        error);
    return false;
  }
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem == 0) {
    xcb_disconnect(connection);
    Log(LogLevel::Error, "%s: X display %s has no screen %d", purpose, name_.c_str(), screenNumber);
    return false;
  }
  connection_ = connection;
  root_ = screens.data->root;
  rootDepth_ = screens.data->root_depth;
  return true;
}

void X11Display::Close() {
  if (connection_ != nullptr) {
    xcb_disconnect(connection_);
    connection_ = nullptr;
  }
  root_ = 0;
}

bool X11Display::Broken() const {
  return connection_ == nullptr || xcb_connection_has_error(connection_) != 0;
}

bool X11Display::HasExtension(xcb_extension_t* extension) const {
  if (connection_ == nullptr) return false;
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection_, extension);
  return data != nullptr && data->present != 0;
}

bool X11Display::ReadScreenSize(std::uint32_t* width, std::uint32_t* height) const {
  if (connection_ == nullptr) return false;
  const XcbReply<xcb_get_geometry_reply_t> geometry(
      xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, root_), nullptr));
  if (!geometry) return false;
  *width = geometry->width;
  *height = geometry->height;
  return true;
}

std::vector<X11Monitor> X11Display::ReadMonitors() const {
  std::vector<X11Monitor> monitors;
  if (!HasExtension(&xcb_randr_id)) return monitors;
  const XcbReply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
      connection_, xcb_randr_query_version(connection_, kRandrMajor, kRandrMinor), nullptr));
  if (!version || version->major_version < kRandrMajor ||
      (version->major_version == kRandrMajor && version->minor_version < kRandrMinor)) {
    return monitors;
  }
  const XcbReply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(
      connection_, xcb_randr_get_monitors(connection_, root_, 1), nullptr));
  if (!reply) return monitors;
  for (xcb_randr_monitor_info_iterator_t it = xcb_randr_get_monitors_monitors_iterator(reply.get());
       it.rem > 0; xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_monitor_info_t& info = *it.data;
    monitors.push_back(
        X11Monitor{AtomName(connection_, info.name), info.x, info.y, info.width, info.height});
  }
  return monitors;
}

}  // namespace veyra

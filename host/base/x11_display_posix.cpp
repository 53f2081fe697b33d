// The native host's one way to reach an X server: capture and input each
// hold a connection of their own (xcb connections are not shared across the
// capture and receive threads), opened from DISPLAY as any X client does.

#include "host/base/x11_display_posix.h"

#include <poll.h>
#include <xcb/randr.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "host/base/clock.h"
#include "host/base/log.h"
#include "host/base/x11_connect_posix.h"

namespace veyra {
namespace {

// RandR 1.5 introduced monitors (GetMonitors).
constexpr std::uint32_t kRandrMajor = 1;
constexpr std::uint32_t kRandrMinor = 5;

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

bool X11Display::Open(const char* purpose, std::initializer_list<xcb_extension_t*> extensions) {
  Close();
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    Log(LogLevel::Error, "%s: no X display (DISPLAY is not set)", purpose);
    return false;
  }
  name_ = display;
  purpose_ = purpose;
  const X11Connection opened = ConnectX11(display, replyTimeoutMs_);
  if (opened.result == X11ConnectResult::kNoAnswer) {
    Log(LogLevel::Error, "%s: X display %s did not answer within %u ms", purpose, name_.c_str(),
        replyTimeoutMs_);
    return false;
  }
  if (opened.result != X11ConnectResult::kConnected) {
    Log(LogLevel::Error, "%s: cannot open X display %s (xcb error %d)", purpose, name_.c_str(),
        opened.xcbError);
    return false;
  }
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(opened.connection));
  for (int i = 0; i < opened.screen && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem == 0) {
    xcb_disconnect(opened.connection);
    Log(LogLevel::Error, "%s: X display %s has no screen %d", purpose, name_.c_str(),
        opened.screen);
    return false;
  }
  connection_ = opened.connection;
  root_ = screens.data->root;
  rootDepth_ = screens.data->root_depth;
  // xcb asks the server about an extension, without a bound, when a
  // request of it is first sent: all are asked now, and one bounded round
  // trip has their answers read before anyone looks them up.
  extensions_.assign(extensions);
  extensions_.push_back(&xcb_randr_id);
  for (xcb_extension_t* extension : extensions_) {
    xcb_prefetch_extension_data(connection_, extension);
  }
  if (!Sync()) {
    Close();
    return false;
  }
  return true;
}

void X11Display::Close() {
  if (connection_ != nullptr) {
    xcb_disconnect(connection_);
    connection_ = nullptr;
  }
  root_ = 0;
  extensions_.clear();
  stalled_ = false;
}

bool X11Display::Broken() const {
  return connection_ == nullptr || stalled_ || xcb_connection_has_error(connection_) != 0;
}

bool X11Display::HasExtension(xcb_extension_t* extension) const {
  if (connection_ == nullptr || stalled_ ||
      std::find(extensions_.begin(), extensions_.end(), extension) == extensions_.end()) {
    return false;
  }
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection_, extension);
  return data != nullptr && data->present != 0;
}

void* X11Display::WaitForReply(unsigned int sequence, xcb_generic_error_t** error) {
  if (error != nullptr) *error = nullptr;
  if (connection_ == nullptr || stalled_) return nullptr;
  // The request may still sit in xcb's buffer. Flushing is not bounded,
  // but a stalled server stops the requests after the first unanswered
  // one, so its socket buffer never fills.
  xcb_flush(connection_);
  const std::uint64_t deadlineUs = NowUs() + std::uint64_t{replyTimeoutMs_} * 1000;
  while (true) {
    // Reads what the socket holds; 1 with the reply, with an error, or with
    // nothing once the connection broke.
    void* reply = nullptr;
    if (xcb_poll_for_reply(connection_, sequence, &reply, error) != 0) return reply;
    const std::uint64_t nowUs = NowUs();
    if (nowUs >= deadlineUs) break;
    pollfd readable{xcb_get_file_descriptor(connection_), POLLIN, 0};
    const auto waitMs = static_cast<int>((deadlineUs - nowUs + 999) / 1000);
    if (poll(&readable, 1, waitMs) < 0 && errno != EINTR) break;
  }
  stalled_ = true;
  Log(LogLevel::Error, "%s: X display %s did not answer within %u ms; giving up on it",
      purpose_.c_str(), name_.c_str(), replyTimeoutMs_);
  return nullptr;
}

bool X11Display::Sync() {
  return Await<xcb_get_input_focus_reply_t>(xcb_get_input_focus(connection_)) != nullptr;
}

bool X11Display::ReadScreenSize(std::uint32_t* width, std::uint32_t* height) {
  if (connection_ == nullptr) return false;
  const XcbReply<xcb_get_geometry_reply_t> geometry =
      Await<xcb_get_geometry_reply_t>(xcb_get_geometry(connection_, root_));
  if (!geometry) return false;
  *width = geometry->width;
  *height = geometry->height;
  return true;
}

std::string X11Display::AtomName(xcb_atom_t atom) {
  const XcbReply<xcb_get_atom_name_reply_t> reply =
      Await<xcb_get_atom_name_reply_t>(xcb_get_atom_name(connection_, atom));
  if (!reply) return {};
  return std::string(xcb_get_atom_name_name(reply.get()),
                     static_cast<std::size_t>(xcb_get_atom_name_name_length(reply.get())));
}

std::vector<X11Monitor> X11Display::ReadMonitors() {
  std::vector<X11Monitor> monitors;
  if (!HasExtension(&xcb_randr_id)) return monitors;
  const XcbReply<xcb_randr_query_version_reply_t> version = Await<xcb_randr_query_version_reply_t>(
      xcb_randr_query_version(connection_, kRandrMajor, kRandrMinor));
  if (!version || version->major_version < kRandrMajor ||
      (version->major_version == kRandrMajor && version->minor_version < kRandrMinor)) {
    return monitors;
  }
  const XcbReply<xcb_randr_get_monitors_reply_t> reply =
      Await<xcb_randr_get_monitors_reply_t>(xcb_randr_get_monitors(connection_, root_, 1));
  if (!reply) return monitors;
  for (xcb_randr_monitor_info_iterator_t it = xcb_randr_get_monitors_monitors_iterator(reply.get());
       it.rem > 0; xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_monitor_info_t& info = *it.data;
    monitors.push_back(X11Monitor{AtomName(info.name), info.x, info.y, info.width, info.height});
  }
  return monitors;
}

}  // namespace veyra

#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace veyra {

// What xcb hands back for the caller to free(): replies and events.
struct XcbFree {
  void operator()(void* p) const { std::free(p); }
};
template <typename T>
using XcbReply = std::unique_ptr<T, XcbFree>;

// One monitor of an X screen: a RandR monitor, or the whole screen when the
// server has no RandR monitors. Coordinates are root-window pixels.
struct X11Monitor {
  std::string name;  // the RandR monitor's name ("DP-1", "screen")
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;

  bool operator==(const X11Monitor&) const = default;
};

// The monitor --output |index| means: the |index|-th of |monitors| in the
// server's order (as `xrandr --listmonitors` numbers them), cut to the
// screen; without monitors index 0 is the whole screen, named "screen".
// False when there is no such monitor or it lies outside the screen.
bool ChooseX11Monitor(const std::vector<X11Monitor>& monitors, std::uint32_t screenWidth,
                      std::uint32_t screenHeight, std::uint32_t index, X11Monitor* chosen);

// A connection to the X display named by DISPLAY and its first screen.
// Owned by one thread at a time; closing it frees every server resource this
// client made. Every wait for the server is bounded: a server that leaves a
// request unanswered for the reply bound (stopped, or stuck in a driver)
// counts as stalled, and the connection as broken from then on.
class X11Display {
 public:
  // Long enough for a busy server (a mode change, a large image) to
  // answer; short enough that a frozen one ends a session's capture within
  // a few seconds instead of holding its thread for ever.
  static constexpr std::uint32_t kReplyTimeoutMs = 3000;

  explicit X11Display(std::uint32_t replyTimeoutMs = kReplyTimeoutMs)
      : replyTimeoutMs_(replyTimeoutMs) {}
  ~X11Display();
  X11Display(const X11Display&) = delete;
  X11Display& operator=(const X11Display&) = delete;

  // Connects and learns about |extensions| (RandR always); false with a log
  // line naming the reason when DISPLAY is unset or empty, the display
  // cannot be opened, or it does not answer within the reply bound.
  // |purpose| names the user in that line ("capture", "input").
  bool Open(const char* purpose, std::initializer_list<xcb_extension_t*> extensions = {});
  void Close();

  bool IsOpen() const { return connection_ != nullptr; }
  // True once the server has gone away, the connection broke or the server
  // stalled: every later request fails and the connection has to be opened
  // again.
  bool Broken() const;
  // True once a reply did not come within the bound.
  bool Stalled() const { return stalled_; }

  xcb_connection_t* connection() const { return connection_; }
  xcb_window_t root() const { return root_; }
  std::uint8_t rootDepth() const { return rootDepth_; }
  const std::string& name() const { return name_; }

  // The reply to |cookie|'s request, waited for no longer than the bound:
  // null after an X error (handed to |error| when asked for), when the
  // connection broke, or when the bound passed (logged once; the display is
  // stalled from then on and later waits fail at once).
  template <typename Reply, typename Cookie>
  XcbReply<Reply> Await(Cookie cookie, xcb_generic_error_t** error = nullptr) {
    return XcbReply<Reply>(static_cast<Reply*>(WaitForReply(cookie.sequence, error)));
  }

  // A round trip within the bound: true once the server has handled every
  // request sent before, whose replies and errors xcb then holds, so that
  // xcb_request_check on them returns at once.
  bool Sync();

  // The root window's current size (a round trip); false when the
  // connection failed or the server did not answer.
  bool ReadScreenSize(std::uint32_t* width, std::uint32_t* height);

  // The RandR monitors in the server's order; empty without RandR 1.5.
  std::vector<X11Monitor> ReadMonitors();

  // Whether the server offers the extension, one of those Open learnt
  // about; false for any other, since xcb would ask the server about it
  // without a bound.
  bool HasExtension(xcb_extension_t* extension) const;

 private:
  void* WaitForReply(unsigned int sequence, xcb_generic_error_t** error);
  std::string AtomName(xcb_atom_t atom);

  std::uint32_t replyTimeoutMs_;
  xcb_connection_t* connection_ = nullptr;
  xcb_window_t root_ = 0;
  std::uint8_t rootDepth_ = 0;
  std::string name_;
  std::string purpose_;
  std::vector<xcb_extension_t*> extensions_;  // those Open learnt about
  bool stalled_ = false;
};

}  // namespace veyra

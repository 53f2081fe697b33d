#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <cstdlib>
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
// client made.
class X11Display {
 public:
  X11Display() = default;
  ~X11Display();
  X11Display(const X11Display&) = delete;
  X11Display& operator=(const X11Display&) = delete;

  // Connects; false with a log line naming the reason when DISPLAY is unset
  // or empty, or the display cannot be opened. |purpose| names the user in
  // that line ("capture", "input").
  bool Open(const char* purpose);
  void Close();

  bool IsOpen() const { return connection_ != nullptr; }
  // True once the server has gone away or the connection broke: every later
  // request fails and the connection has to be opened again.
  bool Broken() const;

  xcb_connection_t* connection() const { return connection_; }
  xcb_window_t root() const { return root_; }
  std::uint8_t rootDepth() const { return rootDepth_; }
  const std::string& name() const { return name_; }

  // The root window's current size (a round trip); false when the
  // connection failed.
  bool ReadScreenSize(std::uint32_t* width, std::uint32_t* height) const;

  // The RandR monitors in the server's order; empty without RandR 1.5.
  std::vector<X11Monitor> ReadMonitors() const;

  // Whether the server offers the extension (queried once per connection by
  // xcb and cached).
  bool HasExtension(xcb_extension_t* extension) const;

 private:
  xcb_connection_t* connection_ = nullptr;
  xcb_window_t root_ = 0;
  std::uint8_t rootDepth_ = 0;
  std::string name_;
};

}  // namespace veyra

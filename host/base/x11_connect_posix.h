#pragma once

#include <xcb/xcb.h>

#include <cstdint>

namespace veyra {

// How an X connection attempt ended.
enum class X11ConnectResult : std::uint8_t {
  kConnected,
  kFailed,    // no such display, refused, or the setup was rejected
  kNoAnswer,  // the server took the connection but did not answer its setup
};

struct X11Connection {
  X11ConnectResult result = X11ConnectResult::kFailed;
  // Set for kConnected only; the caller disconnects it.
  xcb_connection_t* connection = nullptr;
  int screen = 0;    // the screen the display name names
  int xcbError = 0;  // xcb's reason for kFailed, 0 when it has none
};

// Connects to X display |name| as xcb_connect does, but gives up when the
// server has not answered the connection's setup within |timeoutMs|: a
// stopped server still accepts connections (the kernel queues them) and
// would leave xcb_connect waiting for ever. Displays on this machine (":N",
// "unix:N") are bounded so; any other name goes to xcb_connect as it is.
X11Connection ConnectX11(const char* name, std::uint32_t timeoutMs);

}  // namespace veyra

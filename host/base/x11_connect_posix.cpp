// xcb has no timeout for its connection setup, and a stopped X server still
// accepts connections: the kernel queues them, the setup request goes out
// and xcb waits for an answer that never comes. For a display on this
// machine the socket is connected here and the cookie looked up as xcb
// would, then xcb_connect_to_fd runs the setup while a watchdog shuts the
// socket down if the server stays silent, which ends xcb's read.

#include "host/base/x11_connect_posix.h"

#include <X11/Xauth.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/base/x11_display_posix.h"

namespace veyra {
namespace {

constexpr char kSocketPrefix[] = "/tmp/.X11-unix/X";

struct XauthFree {
  void operator()(Xauth* auth) const { XauDisposeAuth(auth); }
};

// The display number of a name that reaches a display on this machine
// through its socket (":N", "unix:N", "unix/:N"), or -1 for any other.
int LocalDisplayNumber(const char* name, int* screen) {
  char* parsedHost = nullptr;
  int number = 0;
  if (xcb_parse_display(name, &parsedHost, &number, screen) == 0) return -1;
  const std::unique_ptr<char, XcbFree> host(parsedHost);
  if (*host != '\0' && std::strcmp(host.get(), "unix") != 0) return -1;
  // A protocol other than unix ("tcp/:0") asks for the network even
  // without a host name.
  const char* slash = std::strchr(name, '/');
  if (slash != nullptr && (slash - name != 4 || std::strncmp(name, "unix", 4) != 0)) return -1;
  return number;
}

// A socket connected to local display |number|, trying Linux's abstract
// address first and then the file, as xcb does; -1 when neither connects.
// Non-blocking, so that the full queue of a stopped server fails at once
// instead of waiting for room.
int ConnectLocalSocket(int number) {
  const std::string path = kSocketPrefix + std::to_string(number);
  for (const bool abstract : {true, false}) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t start = abstract ? 1 : 0;  // an abstract name starts with a NUL
    if (start + path.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path + start, path.data(), path.size());
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + start + path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) return fd;
    close(fd);
  }
  return -1;
}

// The display's cookie in the authority file (XAUTHORITY, else
// ~/.Xauthority), found as xcb finds it for a local connection: by this
// machine's name and the display number. Null without one; the server may
// still let the client in (a user it trusts by uid).
std::unique_ptr<Xauth, XauthFree> LocalCookie(int number) {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return nullptr;
  const std::string display = std::to_string(number);
  char cookieName[] = "MIT-MAGIC-COOKIE-1";
  char* names[] = {cookieName};
  const int lengths[] = {static_cast<int>(sizeof cookieName - 1)};
  return std::unique_ptr<Xauth, XauthFree>(XauGetBestAuthByAddr(
      FamilyLocal, static_cast<unsigned short>(std::strlen(host)), host,
      static_cast<unsigned short>(display.size()), display.c_str(), 1, names, lengths));
}

// Runs xcb's connection setup on |fd|, which xcb then owns, and shuts the
// socket down when the server has not answered within |timeoutMs|. The
// watchdog shuts it down through a descriptor of its own: xcb closes |fd|
// when the setup fails, after which that number may name another file.
xcb_connection_t* SetUpWithin(int fd, xcb_auth_info_t* auth, std::uint32_t timeoutMs,
                              bool* expired) {
  const int spare = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (spare < 0) {
    close(fd);
    return nullptr;
  }
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;  // guarded by |lock|
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> held(lock);
    if (!finished.wait_for(held, std::chrono::milliseconds(timeoutMs), [&done] { return done; })) {
      *expired = true;
      shutdown(spare, SHUT_RDWR);
    }
  });
  xcb_connection_t* connection = xcb_connect_to_fd(fd, auth);
  {
    const std::lock_guard<std::mutex> held(lock);
    done = true;
  }
  finished.notify_one();
  watchdog.join();
  close(spare);
  return connection;
}

}  // namespace

X11Connection ConnectX11(const char* name, std::uint32_t timeoutMs) {
  X11Connection result;
  const int number = LocalDisplayNumber(name, &result.screen);
  xcb_connection_t* connection = nullptr;
  bool expired = false;
  if (number < 0) {
    connection = xcb_connect(name, &result.screen);
  } else {
    const int fd = ConnectLocalSocket(number);
    if (fd < 0) {
      result.xcbError = XCB_CONN_ERROR;
      return result;
    }
    const std::unique_ptr<Xauth, XauthFree> cookie = LocalCookie(number);
    xcb_auth_info_t auth{};
    if (cookie) {
      auth.namelen = cookie->name_length;
      auth.name = cookie->name;
      auth.datalen = cookie->data_length;
      auth.data = cookie->data;
    }
    connection = SetUpWithin(fd, cookie ? &auth : nullptr, timeoutMs, &expired);
  }
  const int error = connection == nullptr ? XCB_CONN_ERROR : xcb_connection_has_error(connection);
  if (error != 0 || expired) {
    // xcb's connection object must be disconnected even when it failed.
    if (connection != nullptr) xcb_disconnect(connection);
    result.result = expired ? X11ConnectResult::kNoAnswer : X11ConnectResult::kFailed;
    result.xcbError = error;
    return result;
  }
  result.result = X11ConnectResult::kConnected;
  result.connection = connection;
  return result;
}

}  // namespace veyra

#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/net/socket.h"
#include "host/net/transport.h"
#include "host/serve/browser_links.h"
#include "host/serve/page_secret.h"

namespace veyra {

// What the page server stands on; every member is required.
struct PageServerParts {
  // Runs the TLS server handshake on an accepted socket (used, not
  // closed); nullptr when it failed, which it has logged.
  std::function<std::unique_ptr<Transport>(SocketHandle)> acceptTls;
  // Whether this PC's user approved the browser key with this pin (it is
  // in the pairing store); asked afresh for every browser.
  std::function<bool(const std::string& keyHash)> knownKey;
  BrowserLinks* links = nullptr;
  PageSecret* secret = nullptr;
};

// Serves the receiver page on one port: HTTPS to anyone, plain HTTP to
// this PC itself (a phone on a USB cable, through a reverse port forward),
// and the WebSocket that carries a browser to the session. A few threads
// take connections side by side, so that a slow or idle one (browsers open
// spares) cannot hold the page up; each connection has a deadline.
class PageServer {
 public:
  static constexpr int kThreads = 4;
  // From the first byte to a response or an upgraded WebSocket.
  static constexpr std::uint32_t kExchangeDeadlineMs = 5000;
  static constexpr std::uint32_t kPollMs = 200;

  explicit PageServer(PageServerParts parts);
  ~PageServer();
  PageServer(const PageServer&) = delete;
  PageServer& operator=(const PageServer&) = delete;

  // Listens on every IPv4 address at |port| and starts the threads. False
  // when the port cannot be had, which is logged.
  bool Start(std::uint16_t port);
  // Stops listening and joins the threads; a connection being served ends
  // within its deadline.
  void Stop();

 private:
  void Work();

  PageServerParts parts_;
  ScopedSocket listener_;
  std::atomic<bool> running_{false};
  std::vector<std::thread> threads_;
};

}  // namespace veyra

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/net/transport.h"
#include "host/serve/websocket_frames.h"

namespace veyra {

// Our wire stream inside a WebSocket, over a byte stream (TLS records, or
// plaintext from this PC itself): each Send is one binary message, and
// Receive hands on the payloads of the browser's binary messages, which
// hold whole wire frames, so the connection's frame decoder sees the same
// byte stream as from the app. Pings are answered and a close is returned
// before the stream ends. Anything else a browser must not send ends the
// connection with a close code and a log line.
class WebSocketTransport final : public Transport {
 public:
  // A browser's messages are controls and acknowledgements, a few hundred
  // bytes; this leaves room for any it may grow to.
  static constexpr std::size_t kMaxMessageBytes = 1024 * 1024;

  // |leftover| is what arrived right behind the upgrade request.
  WebSocketTransport(std::unique_ptr<Transport> inner, std::vector<std::uint8_t> leftover);

  bool Send(const std::uint8_t* data, std::size_t length, std::string& failure) override;
  long Receive(std::vector<std::uint8_t>& out, std::string& failure) override;

  // Sends a close with |code| (from any thread; once).
  void SendClose(std::uint16_t code);

 private:
  std::unique_ptr<Transport> inner_;
  WebSocketFrameReader reader_;
  std::vector<std::uint8_t> pending_;
  // Keeps each message's header and payload together on the stream, as the
  // receive thread's pongs and closes go out between the send thread's
  // messages.
  std::mutex sendLock_;
  bool closeSent_ = false;
  // The browser closed or broke the protocol: the stream has ended.
  bool ended_ = false;
};

}  // namespace veyra

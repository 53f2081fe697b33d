#include "host/serve/websocket_transport.h"

#include <utility>

#include "host/base/log.h"

namespace veyra {

WebSocketTransport::WebSocketTransport(std::unique_ptr<Transport> inner,
                                       std::vector<std::uint8_t> leftover)
    : inner_(std::move(inner)), reader_(kMaxMessageBytes), pending_(std::move(leftover)) {}

bool WebSocketTransport::SendLocked(const std::uint8_t* data, std::size_t length,
                                    std::string& failure) {
  return inner_->Send(data, length, failure);
}

bool WebSocketTransport::Send(const std::uint8_t* data, std::size_t length,
                              std::string& failure) {
  const std::vector<std::uint8_t> header =
      EncodeWebSocketHeader(WebSocketOpcode::kBinary, length);
  const std::lock_guard<std::mutex> lock(sendLock_);
  if (closeSent_) {
    failure = "WebSocket closed";
    return false;
  }
  return SendLocked(header.data(), header.size(), failure) &&
         SendLocked(data, length, failure);
}

void WebSocketTransport::SendClose(std::uint16_t code) {
  const std::uint8_t body[2] = {static_cast<std::uint8_t>(code >> 8),
                                static_cast<std::uint8_t>(code & 0xFF)};
  const std::vector<std::uint8_t> frame =
      EncodeWebSocketFrame(WebSocketOpcode::kClose, body, sizeof(body));
  const std::lock_guard<std::mutex> lock(sendLock_);
  if (closeSent_) {
    return;
  }
  closeSent_ = true;
  std::string ignored;
  SendLocked(frame.data(), frame.size(), ignored);
}

long WebSocketTransport::Receive(std::vector<std::uint8_t>& out, std::string& failure) {
  const std::size_t start = out.size();
  for (;;) {
    if (!pending_.empty()) {
      reader_.Feed(pending_.data(), pending_.size());
      pending_.clear();
    }
    while (std::optional<WebSocketEvent> event = reader_.Next()) {
      switch (event->kind) {
        case WebSocketEvent::Kind::kMessage:
          out.insert(out.end(), event->payload.begin(), event->payload.end());
          break;
        case WebSocketEvent::Kind::kPing: {
          const std::vector<std::uint8_t> pong = EncodeWebSocketFrame(
              WebSocketOpcode::kPong, event->payload.data(), event->payload.size());
          const std::lock_guard<std::mutex> lock(sendLock_);
          std::string ignored;
          if (!closeSent_) {
            SendLocked(pong.data(), pong.size(), ignored);
          }
          break;
        }
        case WebSocketEvent::Kind::kPong:
          break;
        case WebSocketEvent::Kind::kClose:
          SendClose(kWebSocketCloseNormal);
          // What came before the close is still delivered; the end follows.
          if (out.size() > start) {
            pending_.clear();
            return static_cast<long>(out.size() - start);
          }
          return 0;
        case WebSocketEvent::Kind::kFailure:
          Log(LogLevel::Warn, "browser connection closed: %s", event->failure);
          SendClose(event->closeCode);
          failure = "WebSocket protocol error";
          return -1;
      }
    }
    if (out.size() > start) {
      return static_cast<long>(out.size() - start);
    }
    const long received = inner_->Receive(pending_, failure);
    if (received <= 0) {
      if (received == 0 && reader_.HasPartialFrame()) {
        Log(LogLevel::Warn, "browser connection ended in the middle of a WebSocket frame");
      }
      return received;
    }
  }
}

}  // namespace veyra

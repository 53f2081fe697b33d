#include "host/serve/websocket_transport.h"

#include <utility>

#include "host/base/log.h"

namespace veyra {

WebSocketTransport::WebSocketTransport(std::unique_ptr<Transport> inner,
                                       std::vector<std::uint8_t> leftover)
    : inner_(std::move(inner)), reader_(kMaxMessageBytes), pending_(std::move(leftover)) {}

bool WebSocketTransport::Send(const std::uint8_t* data, std::size_t length, std::string& failure) {
  const WebSocketFrameHead head = EncodeWebSocketFrameHead(WebSocketOpcode::kBinary, length);
  const std::lock_guard<std::mutex> lock(sendLock_);
  if (closeSent_) {
    failure = "WebSocket closed";
    return false;
  }
  return inner_->Send(head.bytes.data(), head.size, failure) && inner_->Send(data, length, failure);
}

void WebSocketTransport::SendClose(std::uint16_t code) {
  const std::vector<std::uint8_t> frame = EncodeWebSocketClose(code);
  const std::lock_guard<std::mutex> lock(sendLock_);
  if (closeSent_) {
    return;
  }
  closeSent_ = true;
  std::string ignored;
  inner_->Send(frame.data(), frame.size(), ignored);
}

long WebSocketTransport::Receive(std::vector<std::uint8_t>& out, std::string& failure) {
  const std::size_t start = out.size();
  if (ended_) {
    return 0;
  }
  for (;;) {
    if (!pending_.empty()) {
      reader_.Feed(pending_.data(), pending_.size());
      pending_.clear();
    }
    while (std::optional<WebSocketEvent> event = reader_.Next()) {
      switch (event->kind) {
        case WebSocketEventKind::kBinary:
          out.insert(out.end(), event->payload.begin(), event->payload.end());
          break;
        case WebSocketEventKind::kPing: {
          const std::vector<std::uint8_t> pong =
              EncodeWebSocketFrame(WebSocketOpcode::kPong, event->payload);
          const std::lock_guard<std::mutex> lock(sendLock_);
          std::string ignored;
          if (!closeSent_) {
            inner_->Send(pong.data(), pong.size(), ignored);
          }
          break;
        }
        case WebSocketEventKind::kPong:
          break;
        case WebSocketEventKind::kClose:
          SendClose(websocket_close::kNormal);
          // What came before the close is still delivered; the end follows.
          ended_ = true;
          return static_cast<long>(out.size() - start);
        case WebSocketEventKind::kFailed:
          Log(LogLevel::Warn, "browser connection closed: %.*s (close code %u)",
              static_cast<int>(event->failure.size()), event->failure.data(),
              unsigned{event->closeCode});
          ended_ = true;
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

#include "host/serve/websocket_frames.h"

#include <algorithm>
#include <stdexcept>

#include "host/base/base64.h"
#include "host/base/digest.h"

namespace veyra {
namespace {

constexpr std::string_view kAcceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr std::size_t kKeyBytes = 16;

constexpr std::uint8_t kFin = 0x80;
constexpr std::uint8_t kReservedBits = 0x70;
constexpr std::uint8_t kOpcodeBits = 0x0F;
constexpr std::uint8_t kMasked = 0x80;
constexpr std::uint8_t kLengthBits = 0x7F;
constexpr std::uint8_t kLength16 = 126;
constexpr std::uint8_t kLength64 = 127;
constexpr std::size_t kMaskBytes = 4;

bool IsControl(WebSocketOpcode opcode) { return (static_cast<std::uint8_t>(opcode) & 0x08) != 0; }

bool IsKnownOpcode(std::uint8_t opcode) {
  switch (static_cast<WebSocketOpcode>(opcode)) {
    case WebSocketOpcode::kContinuation:
    case WebSocketOpcode::kText:
    case WebSocketOpcode::kBinary:
    case WebSocketOpcode::kClose:
    case WebSocketOpcode::kPing:
    case WebSocketOpcode::kPong:
      return true;
  }
  return false;
}

// Codes a peer may send in a close frame: the protocol's own that mean
// something on the wire, and the ranges left to libraries and applications.
bool IsSendableCloseCode(std::uint16_t code) {
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
         (code >= 3000 && code <= 4999);
}

}  // namespace

bool IsValidWebSocketKey(std::string_view clientKey) {
  const auto key = base64::Decode(clientKey);
  return key.has_value() && key->size() == kKeyBytes;
}

std::string WebSocketAcceptKey(std::string_view clientKey) {
  std::string text(clientKey);
  text += kAcceptGuid;
  const Sha1Digest digest = Sha1(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  return base64::Encode(digest);
}

WebSocketFrameHead EncodeWebSocketFrameHead(WebSocketOpcode opcode, std::uint64_t payloadBytes) {
  if (IsControl(opcode) && payloadBytes > kMaxWebSocketControlBytes) {
    throw std::invalid_argument("WebSocket control frame over 125 bytes");
  }
  WebSocketFrameHead head;
  head.bytes[0] = kFin | static_cast<std::uint8_t>(opcode);
  std::size_t lengthBytes = 0;
  if (payloadBytes < kLength16) {
    head.bytes[1] = static_cast<std::uint8_t>(payloadBytes);
  } else if (payloadBytes <= 0xFFFF) {
    head.bytes[1] = kLength16;
    lengthBytes = 2;
  } else {
    head.bytes[1] = kLength64;
    lengthBytes = 8;
  }
  for (std::size_t i = 0; i < lengthBytes; ++i) {
    head.bytes[2 + i] = static_cast<std::uint8_t>(payloadBytes >> (8 * (lengthBytes - 1 - i)));
  }
  head.size = 2 + lengthBytes;
  return head;
}

std::vector<std::uint8_t> EncodeWebSocketFrame(WebSocketOpcode opcode,
                                               std::span<const std::uint8_t> payload) {
  const WebSocketFrameHead head = EncodeWebSocketFrameHead(opcode, payload.size());
  std::vector<std::uint8_t> frame;
  frame.reserve(head.size + payload.size());
  frame.insert(frame.end(), head.bytes.begin(), head.bytes.begin() + head.size);
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

std::vector<std::uint8_t> EncodeWebSocketClose(std::uint16_t code) {
  const std::uint8_t payload[2] = {static_cast<std::uint8_t>(code >> 8),
                                   static_cast<std::uint8_t>(code)};
  return EncodeWebSocketFrame(WebSocketOpcode::kClose, payload);
}

WebSocketFrameReader::WebSocketFrameReader(std::size_t maxMessageBytes, std::size_t maxFragments)
    : maxMessageBytes_(maxMessageBytes), maxFragments_(maxFragments) {}

void WebSocketFrameReader::Feed(const std::uint8_t* data, std::size_t size) {
  if (!ended_ && size > 0) {
    input_.insert(input_.end(), data, data + size);
  }
}

bool WebSocketFrameReader::HasPartialFrame() const {
  return !ended_ && (inFrame_ || read_ < input_.size());
}

std::optional<WebSocketEvent> WebSocketFrameReader::Next() {
  while (!ended_) {
    if (!inFrame_) {
      WebSocketEvent failure;
      const HeadResult head = ReadHead(failure);
      if (head == HeadResult::kFailed) {
        return failure;
      }
      if (head == HeadResult::kNeedMore) {
        break;
      }
    }
    CopyPayload();
    if (payloadLeft_ > 0) {
      break;
    }
    inFrame_ = false;
    if (std::optional<WebSocketEvent> event = FinishFrame()) {
      return event;
    }
  }
  DropConsumedInput();
  return std::nullopt;
}

WebSocketEvent WebSocketFrameReader::Fail(std::uint16_t code, std::string_view reason) {
  ended_ = true;
  input_.clear();
  read_ = 0;
  WebSocketEvent event;
  event.kind = WebSocketEventKind::kFailed;
  event.closeCode = code;
  event.failure = reason;
  return event;
}

WebSocketFrameReader::HeadResult WebSocketFrameReader::ReadHead(WebSocketEvent& failure) {
  const std::size_t available = input_.size() - read_;
  if (available < 2) {
    return HeadResult::kNeedMore;
  }
  const std::uint8_t* head = input_.data() + read_;
  const bool fin = (head[0] & kFin) != 0;
  const auto opcode = static_cast<WebSocketOpcode>(head[0] & kOpcodeBits);
  const std::uint8_t shortLength = head[1] & kLengthBits;

  // What the first two bytes show is judged before waiting for the rest, in
  // a fixed order, so that a stream cut anywhere fails the same way.
  std::string_view protocolError;
  if ((head[0] & kReservedBits) != 0) {
    protocolError = "reserved bits set";
  } else if (!IsKnownOpcode(head[0] & kOpcodeBits)) {
    protocolError = "unknown opcode";
  } else if ((head[1] & kMasked) == 0) {
    protocolError = "unmasked client frame";
  } else if (IsControl(opcode) && !fin) {
    protocolError = "fragmented control frame";
  } else if (IsControl(opcode) && shortLength > kMaxWebSocketControlBytes) {
    protocolError = "control frame over 125 bytes";
  } else if (opcode == WebSocketOpcode::kContinuation && !inMessage_) {
    protocolError = "continuation with no message begun";
  } else if (!IsControl(opcode) && opcode != WebSocketOpcode::kContinuation && inMessage_) {
    protocolError = "new message inside a fragmented one";
  }
  if (!protocolError.empty()) {
    failure = Fail(websocket_close::kProtocolError, protocolError);
    return HeadResult::kFailed;
  }
  if (opcode == WebSocketOpcode::kText) {
    failure = Fail(websocket_close::kUnsupportedData, "text message");
    return HeadResult::kFailed;
  }

  const std::size_t lengthBytes = shortLength == kLength16 ? 2 : (shortLength == kLength64 ? 8 : 0);
  const std::size_t headBytes = 2 + lengthBytes + kMaskBytes;
  if (available < headBytes) {
    return HeadResult::kNeedMore;
  }
  std::uint64_t length = shortLength;
  if (lengthBytes > 0) {
    length = 0;
    for (std::size_t i = 0; i < lengthBytes; ++i) {
      length = (length << 8) | head[2 + i];
    }
    const std::uint64_t shortest = lengthBytes == 2 ? kLength16 : 0x10000;
    if (length < shortest || (length >> 63) != 0) {
      failure = Fail(websocket_close::kProtocolError, "length not in its shortest form");
      return HeadResult::kFailed;
    }
  }
  if (!IsControl(opcode)) {
    if (fragments_ == maxFragments_) {
      failure = Fail(websocket_close::kPolicyViolation, "too many fragments");
      return HeadResult::kFailed;
    }
    const std::size_t sofar = inMessage_ ? message_.size() : 0;
    if (length > maxMessageBytes_ - sofar) {
      failure = Fail(websocket_close::kMessageTooBig, "message over the bound");
      return HeadResult::kFailed;
    }
  }

  std::copy_n(head + 2 + lengthBytes, kMaskBytes, mask_.begin());
  read_ += headBytes;
  inFrame_ = true;
  fin_ = fin;
  opcode_ = opcode;
  payloadRead_ = 0;
  payloadLeft_ = length;
  if (IsControl(opcode)) {
    control_.clear();
  } else {
    if (!inMessage_) {
      inMessage_ = true;
      fragments_ = 0;
      message_.clear();
      // Most messages come in one frame: their length is the message's.
      message_.reserve(length);
    }
    ++fragments_;
  }
  return HeadResult::kRead;
}

void WebSocketFrameReader::CopyPayload() {
  const std::size_t take =
      static_cast<std::size_t>(std::min<std::uint64_t>(payloadLeft_, input_.size() - read_));
  std::vector<std::uint8_t>& target = IsControl(opcode_) ? control_ : message_;
  const std::size_t start = target.size();
  target.resize(start + take);
  const std::uint8_t* source = input_.data() + read_;
  for (std::size_t i = 0; i < take; ++i) {
    target[start + i] = source[i] ^ mask_[(payloadRead_ + i) % kMaskBytes];
  }
  read_ += take;
  payloadRead_ += take;
  payloadLeft_ -= take;
}

std::optional<WebSocketEvent> WebSocketFrameReader::FinishFrame() {
  WebSocketEvent event;
  switch (opcode_) {
    case WebSocketOpcode::kPing:
    case WebSocketOpcode::kPong:
      event.kind =
          opcode_ == WebSocketOpcode::kPing ? WebSocketEventKind::kPing : WebSocketEventKind::kPong;
      event.payload = std::move(control_);
      control_.clear();
      return event;
    case WebSocketOpcode::kClose:
      if (control_.size() == 1) {
        return Fail(websocket_close::kProtocolError, "close payload of one byte");
      }
      event.kind = WebSocketEventKind::kClose;
      event.closeCode = websocket_close::kNoStatus;
      if (control_.size() >= 2) {
        event.closeCode = static_cast<std::uint16_t>((control_[0] << 8) | control_[1]);
        event.closeReasonBytes = control_.size() - 2;
        if (!IsSendableCloseCode(event.closeCode)) {
          return Fail(websocket_close::kProtocolError, "close code not allowed on the wire");
        }
      }
      ended_ = true;
      input_.clear();
      read_ = 0;
      return event;
    case WebSocketOpcode::kContinuation:
    case WebSocketOpcode::kBinary:
    case WebSocketOpcode::kText:
      break;
  }
  if (!fin_) {
    return std::nullopt;
  }
  inMessage_ = false;
  fragments_ = 0;
  event.kind = WebSocketEventKind::kBinary;
  event.payload = std::move(message_);
  message_.clear();
  return event;
}

void WebSocketFrameReader::DropConsumedInput() {
  // Called once the input is drained: what is left is less than a frame
  // head, since payload bytes are taken as they come, so this moves at most
  // 13 bytes. Between events the input is left alone, so that many small
  // frames in one Feed cost no repeated moves.
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(read_));
  read_ = 0;
}

}  // namespace veyra

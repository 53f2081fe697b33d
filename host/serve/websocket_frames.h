#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veyra {

// The server's side of WebSocket framing, apart from any I/O. A frame:
//
//   byte 0     FIN (0x80) | RSV1-3 (0x70, zero) | opcode (0x0F)
//   byte 1     MASK (0x80) | length (0x7F): 0-125 is the length; 126: a
//              16-bit length follows, 127: a 64-bit one (top bit clear),
//              big-endian, the shortest of the three that holds it
//   [2 or 8]   the longer length
//   [4]        masking key, client frames only: payload byte i is XORed
//              with key byte i % 4 (the server masks nothing)
//   payload
//
enum class WebSocketOpcode : std::uint8_t {
  kContinuation = 0x0,
  kText = 0x1,
  kBinary = 0x2,
  kClose = 0x8,
  kPing = 0x9,
  kPong = 0xA,
};

// Close codes: what a close frame's first two bytes say.
namespace websocket_close {
inline constexpr std::uint16_t kNormal = 1000;
inline constexpr std::uint16_t kGoingAway = 1001;
inline constexpr std::uint16_t kProtocolError = 1002;
inline constexpr std::uint16_t kUnsupportedData = 1003;
// Reported for a close frame without a code; never sent.
inline constexpr std::uint16_t kNoStatus = 1005;
inline constexpr std::uint16_t kPolicyViolation = 1008;
inline constexpr std::uint16_t kMessageTooBig = 1009;
inline constexpr std::uint16_t kInternalError = 1011;
}  // namespace websocket_close

// A control frame's payload (ping, pong, close) holds at most this.
inline constexpr std::size_t kMaxWebSocketControlBytes = 125;

// Whether |clientKey| (Sec-WebSocket-Key) is the Base64 of 16 bytes.
bool IsValidWebSocketKey(std::string_view clientKey);

// Sec-WebSocket-Accept for |clientKey|: Base64 of the SHA-1 of the key and
// the protocol's fixed GUID.
std::string WebSocketAcceptKey(std::string_view clientKey);

// The head of a server frame (FIN set, unmasked): 2, 4 or 10 bytes.
struct WebSocketFrameHead {
  std::array<std::uint8_t, 10> bytes{};
  std::size_t size = 0;

  // Only of a head that outlives the view.
  std::span<const std::uint8_t> View() const& { return {bytes.data(), size}; }
  std::span<const std::uint8_t> View() const&& = delete;
};

// The head of a frame whose |payloadBytes| the caller sends after it itself,
// so that a video frame of megabytes is not copied just to sit behind ten
// bytes. Raises std::invalid_argument for a control frame over
// kMaxWebSocketControlBytes (a bug of the caller, never the peer's input).
WebSocketFrameHead EncodeWebSocketFrameHead(WebSocketOpcode opcode, std::uint64_t payloadBytes);

// A whole server frame: head and payload. Raises as the head does.
std::vector<std::uint8_t> EncodeWebSocketFrame(WebSocketOpcode opcode,
                                               std::span<const std::uint8_t> payload);

// A close frame with |code| and no reason.
std::vector<std::uint8_t> EncodeWebSocketClose(std::uint16_t code);

enum class WebSocketEventKind { kBinary, kPing, kPong, kClose, kFailed };

struct WebSocketEvent {
  WebSocketEventKind kind = WebSocketEventKind::kFailed;
  // kBinary: the message, its fragments joined; kPing, kPong: the payload.
  std::vector<std::uint8_t> payload;
  // kClose: the peer's code (kNoStatus when it gave none) and how many bytes
  // of reason followed it (the text itself is dropped: it would only be
  // logged). kFailed: the code to close the connection with.
  std::uint16_t closeCode = 0;
  std::size_t closeReasonBytes = 0;
  // kFailed: a fixed text for the log, never the peer's bytes.
  std::string_view failure;
};

// Cuts the client's frames out of the byte stream that follows the upgrade:
// Feed the bytes as they arrive, then take events with Next until it has
// none. Used from one thread.
//
// Takes binary messages only, each at most |maxMessageBytes| in at most
// |maxFragments| frames; pings and pongs may come between the fragments.
// Fails with 1002 on a frame the protocol forbids (unmasked, reserved bits,
// unknown opcode, a control frame fragmented or over 125 bytes, a length
// not in its shortest form, a continuation with no message begun, a new
// message inside a fragmented one, a bad close code), 1003 on a text
// message, 1009 on a message over the bound and 1008 on too many fragments;
// each as soon as the frame's head shows it, before its payload arrives.
// After a close or a failure the reader has ended and ignores further bytes.
//
// Payload bytes are unmasked while they are copied out of the input, once,
// into the message being built, as they arrive; the input holds no more
// than one Feed's bytes and a partial frame head, as long as Next is drained
// (called until it returns nothing) after each Feed.
class WebSocketFrameReader {
 public:
  static constexpr std::size_t kDefaultMaxFragments = 64;

  explicit WebSocketFrameReader(std::size_t maxMessageBytes,
                                std::size_t maxFragments = kDefaultMaxFragments);

  void Feed(const std::uint8_t* data, std::size_t size);

  // The next event, or nothing until more bytes arrive (or after the end).
  std::optional<WebSocketEvent> Next();

  // Whether bytes of an unfinished frame are held: when the transport ends
  // now, it ended in the middle of a frame. Meaningful once Next has
  // returned nothing.
  bool HasPartialFrame() const;

  // Whether a close or a failure has been reported.
  bool Ended() const { return ended_; }

 private:
  enum class HeadResult { kNeedMore, kRead, kFailed };

  HeadResult ReadHead(WebSocketEvent& failure);
  std::optional<WebSocketEvent> FinishFrame();
  WebSocketEvent Fail(std::uint16_t code, std::string_view reason);
  void CopyPayload();
  void DropConsumedInput();

  const std::size_t maxMessageBytes_;
  const std::size_t maxFragments_;
  bool ended_ = false;

  // Received bytes; those before read_ are consumed.
  std::vector<std::uint8_t> input_;
  std::size_t read_ = 0;

  // The frame whose payload is being read.
  bool inFrame_ = false;
  bool fin_ = false;
  WebSocketOpcode opcode_ = WebSocketOpcode::kBinary;
  std::array<std::uint8_t, 4> mask_{};
  std::uint64_t payloadRead_ = 0;
  std::uint64_t payloadLeft_ = 0;
  std::vector<std::uint8_t> control_;

  // The binary message being joined from its fragments.
  bool inMessage_ = false;
  std::size_t fragments_ = 0;
  std::vector<std::uint8_t> message_;
};

}  // namespace veyra

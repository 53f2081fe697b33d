#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace veyra {

// The binary payloads the receiver sends (TOUCH, SCROLL, KEY, FRAME_ACK) and
// the PING/PONG payload both sides send. Each decoder reads the fixed
// minimum from the start of the payload, ignores any bytes beyond it, and
// raises ProtocolError "short " + the message name when the payload is
// shorter. Fields the host does not interpret are still kept, for logs.

// TOUCH, at least 28 bytes.
struct TouchEvent {
  std::uint8_t action = 0;         // 0 down, 1 move, 2 up, 3 cancel
  std::uint8_t pointerId = 0;      // byte 1, not interpreted
  std::uint16_t pointerCount = 0;  // bytes 2-3, not interpreted
  float x = 0;                     // fraction of the target area's width, 0 = left
  float y = 0;                     // fraction of its height, 0 = top
  std::uint32_t pressureBits = 0;  // bytes 12-15, kept as sent, not interpreted
  std::uint32_t buttons = 0;       // bit 0x2: secondary (right) button
  std::uint64_t eventTimeUs = 0;   // bytes 20-27, not interpreted
};
inline constexpr std::size_t kTouchPayloadBytes = 28;

// SCROLL, at least 24 bytes (the last 8 are not read).
struct ScrollEvent {
  float dx = 0;  // fraction of the target area's width
  float dy = 0;  // fraction of its height
  float x = 0;   // pointer position, fraction of the width
  float y = 0;   // pointer position, fraction of the height
};
inline constexpr std::size_t kScrollPayloadBytes = 24;

// KEY, at least 16 bytes (bytes 5-15 are not read).
struct KeyEvent {
  std::uint32_t usage = 0;  // USB HID keyboard usage (page 0x07); 4 is A
  std::uint8_t action = 0;  // 1 released, anything else pressed
};
inline constexpr std::size_t kKeyPayloadBytes = 16;
inline constexpr std::uint8_t kKeyActionUp = 1;

// FRAME_ACK, at least 36 bytes; times on the receiver's clock.
struct FrameAck {
  std::uint64_t frameId = 0;      // of the VIDEO_FRAME acknowledged
  std::uint64_t receivedUs = 0;   // arrival at the receiver
  std::uint64_t decodedUs = 0;    // a later stage; used when presentedUs is 0
  std::uint64_t presentedUs = 0;  // picture shown; 0 when not reported
  std::uint8_t byte32 = 0;        // kept, not interpreted
  std::uint8_t byte33 = 0;        // kept, not interpreted
};
inline constexpr std::size_t kFrameAckPayloadBytes = 36;

// PING and PONG, at least 24 bytes. The PING's sender picks pingId and puts
// its clock in originUs (replyUs 0); the PONG echoes both and adds the
// responder's clock in replyUs.
struct PingPayload {
  std::uint64_t pingId = 0;
  std::uint64_t originUs = 0;
  std::uint64_t replyUs = 0;
};
inline constexpr std::size_t kPingPayloadBytes = 24;

TouchEvent DecodeTouch(const std::uint8_t* data, std::size_t size);
ScrollEvent DecodeScroll(const std::uint8_t* data, std::size_t size);
KeyEvent DecodeKey(const std::uint8_t* data, std::size_t size);
FrameAck DecodeFrameAck(const std::uint8_t* data, std::size_t size);
// For PING and PONG alike; a short one of either is "short PING".
PingPayload DecodePing(const std::uint8_t* data, std::size_t size);

std::array<std::uint8_t, kPingPayloadBytes> EncodePing(const PingPayload& ping);

}  // namespace veyra

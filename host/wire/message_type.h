#pragma once

#include <cstdint>

namespace veyra {

// The 16-bit message codes of the frame header. Enumerators are kCamelCase
// spellings of the protocol's upper-case names (kHelloAck is HELLO_ACK), so
// that none of them collides with a Windows macro such as ERROR; the
// protocol's own spelling is what MessageName returns.
enum class MessageType : std::uint16_t {
  kHello = 1,
  kHelloAck = 2,
  kDeviceInfo = 3,
  kVideoConfig = 4,
  kVideoConfigData = 5,
  kStreamStart = 6,
  kStreamStop = 7,  // defined; the host never sends it and ignores it
  kStreamKeepalive = 8,
  kHostStats = 9,
  kPairAccepted = 10,
  kVisibility = 11,  // has no log name: MessageName gives "UNKNOWN"
  kVideoFrame = 16,
  kFrameAck = 17,
  kTouch = 32,
  kScroll = 33,
  kKey = 34,
  kPing = 48,
  kPong = 49,
  kSetBitrate = 64,
  kDisplayChanged = 65,
  kRequestIdr = 66,
  kError = 255,
};

// The log name of a code ("HELLO_ACK", "VIDEO_FRAME", ...); "UNKNOWN" for
// every code outside the 21 named ones, 0 and 11 included. The text is a
// constant with static lifetime.
const char* MessageName(std::uint16_t type);
inline const char* MessageName(MessageType type) {
  return MessageName(static_cast<std::uint16_t>(type));
}

}  // namespace veyra

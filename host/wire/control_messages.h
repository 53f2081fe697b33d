#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "host/wire/json_value.h"

namespace veyra {

// The JSON control messages: one object per payload. Writers set the keys in
// the protocol's fixed order; readers take every key with a typed read and a
// default, so they never fail (a payload that is JSON but not an object gives
// all defaults, unknown keys are ignored). Only ParseControlPayload of the
// payload text can fail. Pure functions; any thread.

inline constexpr std::int32_t kProtocolVersion = 1;

// Values one control payload may hold. The largest message, HELLO_ACK or
// DEVICE_INFO, holds a few dozen and none comes near 64 KiB of text. A
// value takes at least 2 bytes of text ("0,"), so every payload below
// 128 KiB passes whatever it holds, while a 16 MiB payload from a peer that
// has not even paired builds a tree of some 20 MB at most (vector slack and
// key indexes included, strings aside, which cannot outgrow the text)
// instead of ~335 MB.
inline constexpr std::size_t kControlMessageMaxJsonValues = 65536;

// The JSON value of a control message's payload, with that limit. Raises
// ProtocolError on malformed text or too many values; the message is then
// dropped, the connection stays up.
JsonValue ParseControlPayload(const std::uint8_t* data, std::size_t size);

// HELLO, receiver to host.
struct ReceiverHello {
  std::int32_t protocolVersion = 1;
  std::string deviceId;    // the receiver's stable identity; keys the pairing store
  std::string appVersion;  // for the log only
};
ReceiverHello ParseHello(const JsonValue& json);

// HELLO_ACK, host to receiver.
struct HelloAck {
  std::int32_t protocolVersion = kProtocolVersion;
  std::string hostPlatform = "windows";
  std::string hostVersion = "0.1.0";
  std::string codec = "h264";
  std::vector<std::string> features = {"idr-request", "set-bitrate", "keepalive", "host-stats",
                                       "pairing"};
  std::string hostId;    // from the pairing store
  std::string hostName;  // shown on the receiver's approval prompt
  std::string token;     // issued earlier by this receiver; "" makes it ask its user
};
JsonValue BuildHelloAck(const HelloAck& ack);

// DEVICE_INFO, receiver to host: its screen and decoder. Default-constructed
// it holds the reader's defaults except model, which only the reader sets to
// "unknown" for a missing key.
struct DeviceInfo {
  std::string model;
  std::int32_t widthPx = 0;
  std::int32_t heightPx = 0;
  std::int32_t densityDpi = 160;
  double refreshHz = 60.0;
  bool h264LowLatency = false;
  bool hevc = false;
  std::int32_t maxDecodeWidth = 1920;  // largest picture the receiver decodes
  std::int32_t maxDecodeHeight = 1080;
  bool touch = true;  // the receiver sends TOUCH input
  bool folded = false;
  std::int32_t rotation = 0;
};
DeviceInfo ParseDeviceInfo(const JsonValue& json);

// VIDEO_CONFIG, host to receiver, from the pipeline just opened.
struct VideoConfig {
  std::string codec = "h264";
  std::int32_t width = 1920;
  std::int32_t height = 1080;
  std::int32_t fps = 60;
  std::int32_t bitrateBps = 12000000;
  std::string profile = "high";
  std::string level = "4.2";
};
JsonValue BuildVideoConfig(const VideoConfig& config);

// HOST_STATS, host to receiver, at most once a second while streaming.
struct HostStats {
  double fps = 0;
  std::int64_t bitrateBps = 0;
  double captureMs = 0;
  double convertMs = 0;
  double encodeMs = 0;
  double networkMs = 0;
  double e2eP50Ms = 0;
  double e2eP95Ms = 0;
  std::int32_t encoderQueue = 0;
  std::int64_t droppedFrames = 0;
  double rttMs = 0;
};
JsonValue BuildHostStats(const HostStats& stats);

// PAIR_ACCEPTED, receiver to host: the token, "" when it gave none.
std::string ParsePairToken(const JsonValue& json);

// VISIBILITY, receiver to host.
struct VisibilityChange {
  bool visible = false;   // the receiver shows the picture
  std::string reason;     // free text for the log
  std::int64_t atUs = 0;  // receiver clock; values below 1 are stored as 0
};
VisibilityChange ParseVisibility(const JsonValue& json);

// SET_BITRATE, receiver to host.
struct BitrateRequest {
  std::int32_t bitrateBps = 0;  // applied when 1 or more
  std::int32_t fps = 0;         // read, not acted upon
};
BitrateRequest ParseBitrateRequest(const JsonValue& json);

// DISPLAY_CHANGED, receiver to host.
struct DisplayChange {
  std::int32_t widthPx = 0;
  std::int32_t heightPx = 0;
  std::int32_t densityDpi = 160;
  double refreshHz = 60.0;
  bool folded = false;
  std::int32_t rotation = 0;
};
DisplayChange ParseDisplayChange(const JsonValue& json);

// ERROR, both directions.
struct ErrorInfo {
  std::string code = "INTERNAL";
  std::string message;
};
JsonValue BuildError(const ErrorInfo& error);
ErrorInfo ParseError(const JsonValue& json);

// Error codes.
inline constexpr const char* kErrorBadVersion = "BAD_VERSION";
inline constexpr const char* kErrorPermissionDenied = "PERMISSION_DENIED";
inline constexpr const char* kErrorNoDisplay = "NO_DISPLAY";
inline constexpr const char* kErrorNoEncoder = "NO_ENCODER";
inline constexpr const char* kErrorInternal = "INTERNAL";

// The texts the host sends with them.
inline constexpr const char* kTextUnsupportedVersion = "unsupported protocol version";
inline constexpr const char* kTextKeyMismatch = "TLS key does not match the pinned key";
inline constexpr const char* kTextNoEncoder = "no usable H.264 encoder";
inline constexpr const char* kTextCaptureSourceFailed = "capture source failed";
inline constexpr const char* kTextCaptureRecovering = "capture failed; recovering";
inline constexpr const char* kTextDisplayChangedOrLocked = "display changed or locked; recovering";
inline constexpr const char* kTextResolutionChanged = "display resolution changed; recovering";
inline constexpr const char* kTextDesktopLocked =
    "the PC is locked; the desktop will appear when it is unlocked";
inline constexpr const char* kTextScreenNotReady =
    "the PC's screen is not available yet; it will appear in a moment.";

}  // namespace veyra

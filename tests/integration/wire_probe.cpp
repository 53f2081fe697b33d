// The host's wire codec as a command-line filter, so that another
// implementation of the protocol (the receiver simulator) can be checked
// against it byte for byte:
//
//   wire_probe decode   hex of a frame stream on stdin; one JSON line per
//                       frame: header fields and the decoded payload
//   wire_probe encode   the frames the host sends, one "NAME HEX" line each
//
// 64-bit fields are written as decimal strings: a JSON number (a double)
// would round them above 2^53. Exits 1 when the stream does not decode.

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "host/wire/binary_payloads.h"
#include "host/wire/control_messages.h"
#include "host/wire/frame.h"
#include "host/wire/json_value.h"

namespace veyra {
namespace {

using Bytes = std::vector<std::uint8_t>;

bool FromHex(const std::string& text, Bytes& out) {
  int high = -1;
  for (const char c : text) {
    int value = -1;
    if (c >= '0' && c <= '9') {
      value = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      value = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      value = c - 'A' + 10;
    } else if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
      continue;
    } else {
      return false;
    }
    if (high < 0) {
      high = value;
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + value));
      high = -1;
    }
  }
  return high < 0;
}

std::string ToHex(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const std::uint8_t b : bytes) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

JsonValue U64(std::uint64_t value) { return JsonValue(std::to_string(value)); }

bool IsJsonType(std::uint16_t type) {
  switch (static_cast<MessageType>(type)) {
    case MessageType::kHello:
    case MessageType::kHelloAck:
    case MessageType::kDeviceInfo:
    case MessageType::kVideoConfig:
    case MessageType::kHostStats:
    case MessageType::kPairAccepted:
    case MessageType::kVisibility:
    case MessageType::kSetBitrate:
    case MessageType::kDisplayChanged:
    case MessageType::kError:
      return true;
    default:
      return false;
  }
}

JsonValue DescribePayload(std::uint16_t type, const Bytes& payload) {
  JsonValue out = JsonValue::MakeObject();
  const std::uint8_t* data = payload.data();
  const std::size_t size = payload.size();
  switch (static_cast<MessageType>(type)) {
    case MessageType::kTouch: {
      const TouchEvent t = DecodeTouch(data, size);
      out.Set("action", t.action);
      out.Set("pointerId", t.pointerId);
      out.Set("pointerCount", t.pointerCount);
      out.Set("x", static_cast<double>(t.x));
      out.Set("y", static_cast<double>(t.y));
      out.Set("pressureBits", t.pressureBits);
      out.Set("buttons", t.buttons);
      out.Set("eventTimeUs", U64(t.eventTimeUs));
      return out;
    }
    case MessageType::kScroll: {
      const ScrollEvent s = DecodeScroll(data, size);
      out.Set("dx", static_cast<double>(s.dx));
      out.Set("dy", static_cast<double>(s.dy));
      out.Set("x", static_cast<double>(s.x));
      out.Set("y", static_cast<double>(s.y));
      return out;
    }
    case MessageType::kKey: {
      const KeyEvent k = DecodeKey(data, size);
      out.Set("usage", k.usage);
      out.Set("action", k.action);
      return out;
    }
    case MessageType::kFrameAck: {
      const FrameAck a = DecodeFrameAck(data, size);
      out.Set("frameId", U64(a.frameId));
      out.Set("receivedUs", U64(a.receivedUs));
      out.Set("decodedUs", U64(a.decodedUs));
      out.Set("presentedUs", U64(a.presentedUs));
      out.Set("byte32", a.byte32);
      out.Set("byte33", a.byte33);
      return out;
    }
    case MessageType::kPing:
    case MessageType::kPong: {
      const PingPayload p = DecodePing(data, size);
      out.Set("pingId", U64(p.pingId));
      out.Set("originUs", U64(p.originUs));
      out.Set("replyUs", U64(p.replyUs));
      return out;
    }
    default:
      break;
  }
  if (IsJsonType(type)) {
    return Parse(data, size);
  }
  out.Set("hex", ToHex(payload));
  return out;
}

int Decode() {
  const std::string text((std::istreambuf_iterator<char>(std::cin)),
                         std::istreambuf_iterator<char>());
  Bytes stream;
  JsonValue failure = JsonValue::MakeObject();
  if (!FromHex(text, stream)) {
    failure.Set("error", "not hexadecimal");
    std::cout << Serialize(failure) << "\n";
    return 1;
  }
  std::size_t pos = 0;
  while (pos < stream.size()) {
    FrameHeader header;
    try {
      header = DecodeHeader(stream.data() + pos, stream.size() - pos);
    } catch (const ProtocolError& error) {
      failure.Set("error", error.what());
      std::cout << Serialize(failure) << "\n";
      return 1;
    }
    if (stream.size() - pos - kFrameHeaderBytes < header.payloadLength) {
      failure.Set("error", "incomplete frame");
      std::cout << Serialize(failure) << "\n";
      return 1;
    }
    const auto begin = stream.begin() + static_cast<std::ptrdiff_t>(pos + kFrameHeaderBytes);
    const Bytes payload(begin, begin + header.payloadLength);
    JsonValue frame = JsonValue::MakeObject();
    frame.Set("type", MessageName(header.type));
    frame.Set("code", header.type);
    frame.Set("channel", header.channel);
    frame.Set("flags", header.flags);
    frame.Set("sequence", header.sequence);
    frame.Set("frameId", U64(header.frameId));
    frame.Set("timestampUs", U64(header.timestampUs));
    frame.Set("payloadLength", header.payloadLength);
    try {
      frame.Set("payload", DescribePayload(header.type, payload));
    } catch (const ProtocolError& error) {
      frame.Set("payloadError", error.what());
    }
    std::cout << Serialize(frame) << "\n";
    pos += kFrameHeaderBytes + header.payloadLength;
  }
  return 0;
}

// The host's messages, built the way the session builds them.
int Encode() {
  SequenceCounters counters;
  const auto emit = [](const char* name, const Bytes& frame) {
    std::cout << name << " " << ToHex(frame) << "\n";
  };
  const auto control = [&counters](MessageType type, const JsonValue& json, std::uint64_t ts) {
    return EncodeFrame(counters, type, Channel::kControl, FrameFlags::kNone, 0, ts,
                       Serialize(json));
  };

  HelloAck ack;
  ack.hostId = "host-0123";
  ack.hostName = "Desk PC \xC3\xA9 \"quoted\"";
  emit("HELLO_ACK", control(MessageType::kHelloAck, BuildHelloAck(ack), 1000));
  ack.token = "tok-9";
  emit("HELLO_ACK_TOKEN", control(MessageType::kHelloAck, BuildHelloAck(ack), 1001));

  VideoConfig config;
  config.width = 1080;
  config.height = 2400;
  config.fps = 60;
  config.bitrateBps = 12000000;
  emit("VIDEO_CONFIG", control(MessageType::kVideoConfig, BuildVideoConfig(config), 2000));

  const Bytes parameterSets = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x2A, 0xAC,
                               0, 0, 0, 1, 0x68, 0xEE, 0x3C, 0x80};
  emit("VIDEO_CONFIG_DATA",
       EncodeFrame(counters, MessageType::kVideoConfigData, Channel::kVideo,
                   FrameFlags::kCodecConfig, 0, 2500, parameterSets.data(), parameterSets.size()));
  emit("STREAM_START", EncodeFrame(counters, MessageType::kStreamStart, Channel::kControl,
                                   FrameFlags::kNone, 0, 3000, std::string_view()));
  const Bytes idr = {0, 0, 0, 1, 0x65, 0x88, 0x84, 0x00, 0x33};
  emit("VIDEO_FRAME_IDR", EncodeFrame(counters, MessageType::kVideoFrame, Channel::kVideo,
                                      FrameFlags::kAccessUnit | FrameFlags::kKeyframe, 1, 3500,
                                      idr.data(), idr.size()));
  const Bytes slice = {0, 0, 0, 1, 0x41, 0x9A, 0x02};
  emit("VIDEO_FRAME",
       EncodeFrame(counters, MessageType::kVideoFrame, Channel::kVideo, FrameFlags::kAccessUnit,
                   0x8000000000000002ull, 0xFFFFFFFFFFFFFFF0ull, slice.data(), slice.size()));

  const auto ping = EncodePing({1, 4000, 0});
  emit("PING", EncodeFrame(counters, MessageType::kPing, Channel::kControl, FrameFlags::kNone, 0,
                           4000, ping.data(), ping.size()));
  const auto pong = EncodePing({77, 123456789012ull, 4100});
  emit("PONG", EncodeFrame(counters, MessageType::kPong, Channel::kControl, FrameFlags::kNone, 0,
                           4100, pong.data(), pong.size()));

  HostStats stats;
  stats.fps = 59.94;
  stats.bitrateBps = 11873024;
  stats.captureMs = 1.25;
  stats.convertMs = 0.5;
  stats.encodeMs = 4;
  stats.networkMs = 16.67;
  stats.e2eP50Ms = 28.5;
  stats.e2eP95Ms = 1e-7;
  stats.encoderQueue = 1;
  stats.droppedFrames = 17;
  stats.rttMs = 12.5;
  emit("HOST_STATS", control(MessageType::kHostStats, BuildHostStats(stats), 5000));
  emit("STREAM_KEEPALIVE", EncodeFrame(counters, MessageType::kStreamKeepalive, Channel::kControl,
                                       FrameFlags::kNone, 0, 6000, std::string_view()));
  emit("ERROR",
       control(MessageType::kError, BuildError({kErrorNoDisplay, kTextDesktopLocked}), 7000));
  return 0;
}

}  // namespace
}  // namespace veyra

int main(int argc, char** argv) {
  const std::string command = argc == 2 ? argv[1] : "";
  if (command == "decode") {
    return veyra::Decode();
  }
  if (command == "encode") {
    return veyra::Encode();
  }
  std::fprintf(stderr, "usage: wire_probe decode|encode\n");
  return 2;
}

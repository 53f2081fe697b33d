#include "host/wire/frame.h"

#include <cstring>

#include "host/wire/byte_order.h"

namespace veyra {
namespace {

constexpr std::uint8_t kMagic[4] = {'V', 'Y', 'R', 'A'};

}  // namespace

const char* MessageName(std::uint16_t type) {
  switch (static_cast<MessageType>(type)) {
    case MessageType::kHello:
      return "HELLO";
    case MessageType::kHelloAck:
      return "HELLO_ACK";
    case MessageType::kDeviceInfo:
      return "DEVICE_INFO";
    case MessageType::kVideoConfig:
      return "VIDEO_CONFIG";
    case MessageType::kVideoConfigData:
      return "VIDEO_CONFIG_DATA";
    case MessageType::kStreamStart:
      return "STREAM_START";
    case MessageType::kStreamStop:
      return "STREAM_STOP";
    case MessageType::kStreamKeepalive:
      return "STREAM_KEEPALIVE";
    case MessageType::kHostStats:
      return "HOST_STATS";
    case MessageType::kPairAccepted:
      return "PAIR_ACCEPTED";
    case MessageType::kVideoFrame:
      return "VIDEO_FRAME";
    case MessageType::kFrameAck:
      return "FRAME_ACK";
    case MessageType::kTouch:
      return "TOUCH";
    case MessageType::kScroll:
      return "SCROLL";
    case MessageType::kKey:
      return "KEY";
    case MessageType::kPing:
      return "PING";
    case MessageType::kPong:
      return "PONG";
    case MessageType::kSetBitrate:
      return "SET_BITRATE";
    case MessageType::kDisplayChanged:
      return "DISPLAY_CHANGED";
    case MessageType::kRequestIdr:
      return "REQUEST_IDR";
    case MessageType::kError:
      return "ERROR";
    case MessageType::kVisibility:  // deliberately unnamed in logs
      break;
  }
  return "UNKNOWN";
}

std::uint32_t SequenceCounters::Draw(std::uint8_t channel) {
  return counters_[CounterFor(channel)].fetch_add(1, std::memory_order_relaxed);
}

std::uint32_t SequenceCounters::Peek(std::uint8_t channel) const {
  return counters_[CounterFor(channel)].load(std::memory_order_relaxed);
}

std::vector<std::uint8_t> EncodeFrame(SequenceCounters& counters, MessageType type,
                                      std::uint8_t channel, std::uint8_t flags,
                                      std::uint64_t frameId, std::uint64_t timestampUs,
                                      const std::uint8_t* payload, std::size_t length) {
  // Checked before the draw, so that a refused frame leaves no gap in the
  // channel's sequence.
  if (length > kMaxPayloadBytes) {
    throw ProtocolError("payload too large");
  }
  const std::uint32_t sequence = counters.Draw(channel);
  std::vector<std::uint8_t> frame(kFrameHeaderBytes + length);
  std::uint8_t* p = frame.data();
  std::memcpy(p, kMagic, sizeof(kMagic));
  byte_order::StoreBe16(p + 4, kFramingVersion);
  byte_order::StoreBe16(p + 6, static_cast<std::uint16_t>(type));
  p[8] = channel;
  p[9] = flags;
  // Bytes 10 and 11 are reserved and stay 0.
  byte_order::StoreBe32(p + 12, sequence);
  byte_order::StoreBe64(p + 16, frameId);
  byte_order::StoreBe64(p + 24, timestampUs);
  byte_order::StoreBe32(p + 32, static_cast<std::uint32_t>(length));
  if (length > 0 && payload != nullptr) {
    std::memcpy(p + kFrameHeaderBytes, payload, length);
  }
  return frame;
}

std::vector<std::uint8_t> EncodeFrame(SequenceCounters& counters, MessageType type,
                                      std::uint8_t channel, std::uint8_t flags,
                                      std::uint64_t frameId, std::uint64_t timestampUs,
                                      std::string_view payload) {
  return EncodeFrame(counters, type, channel, flags, frameId, timestampUs,
                     reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size());
}

FrameHeader DecodeHeader(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size < kFrameHeaderBytes) {
    throw ProtocolError("short header");
  }
  if (std::memcmp(data, kMagic, sizeof(kMagic)) != 0) {
    throw ProtocolError("bad magic");
  }
  if (byte_order::LoadBe16(data + 4) != kFramingVersion) {
    throw ProtocolError("bad version");
  }
  FrameHeader header;
  header.type = byte_order::LoadBe16(data + 6);
  header.channel = data[8];
  header.flags = data[9];
  header.sequence = byte_order::LoadBe32(data + 12);
  header.frameId = byte_order::LoadBe64(data + 16);
  header.timestampUs = byte_order::LoadBe64(data + 24);
  header.payloadLength = byte_order::LoadBe32(data + 32);
  if (header.payloadLength > kMaxPayloadBytes) {
    throw ProtocolError("payload too large");
  }
  return header;
}

}  // namespace veyra

#include "host/wire/binary_payloads.h"

#include "host/wire/byte_order.h"
#include "host/wire/protocol_error.h"

namespace veyra {
namespace {

using byte_order::LoadBe16;
using byte_order::LoadBe32;
using byte_order::LoadBe64;
using byte_order::LoadBeFloat;

void RequireBytes(const std::uint8_t* data, std::size_t size, std::size_t minimum,
                  const char* shortMessage) {
  if (data == nullptr || size < minimum) {
    throw ProtocolError(shortMessage);
  }
}

}  // namespace

TouchEvent DecodeTouch(const std::uint8_t* data, std::size_t size) {
  RequireBytes(data, size, kTouchPayloadBytes, "short TOUCH");
  TouchEvent touch;
  touch.action = data[0];
  touch.pointerId = data[1];
  touch.pointerCount = LoadBe16(data + 2);
  touch.x = LoadBeFloat(data + 4);
  touch.y = LoadBeFloat(data + 8);
  touch.pressureBits = LoadBe32(data + 12);
  touch.buttons = LoadBe32(data + 16);
  touch.eventTimeUs = LoadBe64(data + 20);
  return touch;
}

ScrollEvent DecodeScroll(const std::uint8_t* data, std::size_t size) {
  RequireBytes(data, size, kScrollPayloadBytes, "short SCROLL");
  ScrollEvent scroll;
  scroll.dx = LoadBeFloat(data);
  scroll.dy = LoadBeFloat(data + 4);
  scroll.x = LoadBeFloat(data + 8);
  scroll.y = LoadBeFloat(data + 12);
  return scroll;
}

KeyEvent DecodeKey(const std::uint8_t* data, std::size_t size) {
  RequireBytes(data, size, kKeyPayloadBytes, "short KEY");
  KeyEvent key;
  key.usage = LoadBe32(data);
  key.action = data[4];
  return key;
}

FrameAck DecodeFrameAck(const std::uint8_t* data, std::size_t size) {
  RequireBytes(data, size, kFrameAckPayloadBytes, "short FRAME_ACK");
  FrameAck ack;
  ack.frameId = LoadBe64(data);
  ack.receivedUs = LoadBe64(data + 8);
  ack.decodedUs = LoadBe64(data + 16);
  ack.presentedUs = LoadBe64(data + 24);
  ack.byte32 = data[32];
  ack.byte33 = data[33];
  return ack;
}

PingPayload DecodePing(const std::uint8_t* data, std::size_t size) {
  RequireBytes(data, size, kPingPayloadBytes, "short PING");
  PingPayload ping;
  ping.pingId = LoadBe64(data);
  ping.originUs = LoadBe64(data + 8);
  ping.replyUs = LoadBe64(data + 16);
  return ping;
}

std::array<std::uint8_t, kPingPayloadBytes> EncodePing(const PingPayload& ping) {
  std::array<std::uint8_t, kPingPayloadBytes> bytes{};
  byte_order::StoreBe64(bytes.data(), ping.pingId);
  byte_order::StoreBe64(bytes.data() + 8, ping.originUs);
  byte_order::StoreBe64(bytes.data() + 16, ping.replyUs);
  return bytes;
}

}  // namespace veyra
